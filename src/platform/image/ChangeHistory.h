#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "platform/image/PixelRect.h"

namespace ostrovane::platform {

// The changed areas of a stream's last few pictures (PictureRevision), so
// that a copy holding an older picture is brought up to date by redoing only
// what changed since. One thread.
class ChangeHistory {
  public:
    static constexpr std::uint64_t kDepth = 8;

    // Picture `number` differs from `number - 1` in `changed`; a number that
    // does not follow the latest forgets the pictures before it.
    void record(std::uint64_t number, PixelRect changed) {
        if (number != latest_ + 1 || latest_ == 0)
            known_ = 0;
        latest_ = number;
        changed_[number % kDepth] = changed;
        known_ = std::min<std::uint64_t>(known_ + 1, kDepth);
    }
    std::uint64_t latest() const { return latest_; }

    // What changed after picture `since` up to the latest (empty: nothing);
    // nothing known for picture 0, a picture from before the history, or one
    // never recorded.
    std::optional<PixelRect> since(std::uint64_t since) const {
        if (since == 0 || since > latest_ || latest_ - since >= known_ + 1)
            return std::nullopt;
        PixelRect all;
        for (std::uint64_t n = since + 1; n <= latest_; ++n)
            all = all.united(changed_[n % kDepth]);
        return all;
    }

  private:
    std::array<PixelRect, kDepth> changed_{};
    std::uint64_t latest_ = 0;
    std::uint64_t known_ = 0;  // how many of the latest pictures are recorded
};

}  // namespace ostrovane::platform
