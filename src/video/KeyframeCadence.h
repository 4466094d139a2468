#pragma once

#include <cstdint>
#include <optional>

#include "platform/MediaTime.h"

namespace ostrovane::video {

// Which pictures must be keyframes: at least every `frames` frames (one
// second of video at the frame rate) and at least every 2 s of capture time,
// since a still screen sends only one picture a second; so a reader that
// starts a new file waits at most that long for a decodable frame. The
// first picture after a reset (a start) is one too. Pure; one thread (the
// capture queue).
class KeyframeCadence {
  public:
    static constexpr std::int64_t kMaxSeconds = 2;

    explicit KeyframeCadence(std::int64_t frames) : frames_(frames < 1 ? 1 : frames) {}

    void reset() { lastKeyframe_.reset(); }
    // Whether the picture captured at `time` must be a keyframe.
    bool isDue(const platform::MediaTime& time) const;
    // A picture went to the encoder; `keyframe`: as a keyframe.
    void submitted(const platform::MediaTime& time, bool keyframe);

  private:
    const std::int64_t frames_;
    std::optional<platform::MediaTime> lastKeyframe_;
    std::int64_t sinceKeyframe_ = 0;  // frames submitted since, the keyframe included
};

}  // namespace ostrovane::video
