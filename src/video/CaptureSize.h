#pragma once

#include <cstdint>

#include "platform/ScreenContent.h"

namespace ostrovane::video {

struct CaptureSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool operator==(const CaptureSize&) const = default;
};

// The size a display is captured at: half of each side of a display of at
// least 1280 × 720 (640 × 360 for smaller ones, per side), never more than
// the requested size. Capturing at half size keeps text readable at a
// fraction of the encoding cost.
CaptureSize displayCaptureSize(const platform::Display& display, std::int64_t targetWidth,
                               std::int64_t targetHeight);

}  // namespace ostrovane::video
