#include "video/CaptureSize.h"

#include <algorithm>

namespace ostrovane::video {

CaptureSize displayCaptureSize(const platform::Display& display, std::int64_t targetWidth,
                               std::int64_t targetHeight) {
    const std::int64_t width = display.width >= 1280 ? display.width / 2 : 640;
    const std::int64_t height = display.height >= 720 ? display.height / 2 : 360;
    return {std::min(width, targetWidth), std::min(height, targetHeight)};
}

}  // namespace ostrovane::video
