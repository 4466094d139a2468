#pragma once

#include <cstdint>

#include "platform/MediaTime.h"

namespace ostrovane::platform {

enum class PixelFormat {
    bgra32,   // 8-bit B, G, R, A
    yuv420v,  // bi-planar 4:2:0, video range
};

// The settings of a capture stream or a screenshot. Values are read back as
// they were set.
struct StreamConfiguration {
    std::int64_t width = 1920;  // pixels
    std::int64_t height = 1080;
    MediaTime minimumFrameInterval{0, 0};  // invalid: as fast as the service can
    PixelFormat pixelFormat = PixelFormat::bgra32;
    bool scalesToFit = false;
    bool showsCursor = true;
    bool capturesAudio = false;
    bool excludesCurrentProcessAudio = false;
    std::int64_t sampleRate = 48000;
    std::int64_t channelCount = 2;
    // For a still: whether the user may be asked to grant the capture (a
    // desktop that grants each capture, such as a Wayland desktop's portal).
    // A still nobody asked for explicitly, a thumbnail, must not open a
    // dialog; a service that would have to ask fails it instead.
    bool mayAskUser = true;
    bool operator==(const StreamConfiguration&) const = default;
};

}  // namespace ostrovane::platform
