#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/CaptureStream.h"
#include "platform/PlatformError.h"
#include "platform/ScreenStreamErrors.h"

namespace ostrovane::platform::wayland {

// The errors only the Wayland provider itself reports, in the screen-stream
// domain (platform/ScreenStreamErrors.h) that the portal and PipeWire share.
inline constexpr const char* kErrorDomain = kScreenStreamErrorDomain;

inline Error waylandError(std::int64_t code, std::string message) {
    return screenStreamError(code, std::move(message));
}
inline Error compositorGoneError() {
    return waylandError(kCompositorGoneCode, "The connection to the Wayland compositor was lost");
}
inline Error targetUnavailableError() {
    return waylandError(kStreamDisplayUnavailableCode, "The capture target is not available");
}

}  // namespace ostrovane::platform::wayland
