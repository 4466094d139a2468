#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace ostrovane::monitoring {

// Cuts a child's output, read in chunks that may end anywhere (inside a line
// or inside a multi-byte character), into lines at every line feed. A carriage
// return stays in its line; empty lines are skipped. The unfinished tail is
// kept as raw bytes, so a character split between two reads is whole once
// its line is; a finished line that is not valid UTF-8 is dropped alone.
//
// A tail that grows beyond `maxLineBytes` without a line feed is dropped, and
// so is the rest of that line when its line feed finally comes: a child that
// never ends its line cannot grow the helper without bound.
class LogLineSplitter {
  public:
    static constexpr std::size_t kMaxLineBytes = 64 * 1024;

    struct Sink {
        std::function<void(std::string_view line)> onLine;
        std::function<void()> onInvalidLine;    // dropped: not UTF-8
        std::function<void()> onOversizedLine;  // dropped: longer than the cap
    };

    explicit LogLineSplitter(std::size_t maxLineBytes = kMaxLineBytes)
        : maxLineBytes_(maxLineBytes) {}

    void push(std::span<const std::uint8_t> chunk, const Sink& sink);

    // Bytes of the unfinished line held now.
    std::size_t pendingBytes() const { return pending_.size(); }

  private:
    void finishLine(const Sink& sink);

    const std::size_t maxLineBytes_;
    std::string pending_;
    bool skippingOversized_ = false;
};

}  // namespace ostrovane::monitoring
