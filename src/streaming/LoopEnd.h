#pragma once

#include <atomic>
#include <cstdint>

namespace ostrovane::streaming {

// The end line of a background loop (the sender, a test source's playback)
// is written exactly once, by whichever side finishes last: the loop itself
// when it sees that it should stop while it still holds its owner, otherwise
// the owner's destructor (the owner went away before the loop's first pass,
// while it slept, or by the loop dropping the last reference during a pass).
// A loop that has lost its owner never writes, so no line goes through a
// channel that may be gone, and no path ends silently.
class LoopEnd {
  public:
    // True for the one caller that writes the line.
    bool claim() noexcept { return !reported_.exchange(true); }

    // The loop's progress, for a line written by the owner.
    void setCount(std::uint64_t count) noexcept { count_.store(count); }
    std::uint64_t count() const noexcept { return count_.load(); }

  private:
    std::atomic<bool> reported_{false};
    std::atomic<std::uint64_t> count_{0};
};

}  // namespace ostrovane::streaming
