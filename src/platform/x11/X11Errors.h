#pragma once

#include <cstdint>

#include "platform/CaptureStream.h"
#include "platform/PlatformError.h"

namespace ostrovane::platform::x11 {

inline constexpr const char* kErrorDomain = "X11ScreenCapture";

// Codes beside the shared display-unavailable one (a removed monitor, a
// target that does not exist), each its own failure; the values stay clear
// of the sound server's stream codes.
inline constexpr std::int64_t kNotAnsweringCode = -3813;
inline constexpr std::int64_t kWindowClosedCode = -3816;
inline constexpr std::int64_t kServerGoneCode = -3818;
inline constexpr std::int64_t kPixelFormatCode = -3819;

inline Error x11Error(std::int64_t code, const char* message) {
    return Error{kErrorDomain, code, message};
}
inline Error serverGoneError() {
    return x11Error(kServerGoneCode, "The connection to the X server was lost");
}
inline Error notAnsweringError() {
    return x11Error(kNotAnsweringCode, "The X server did not answer in time");
}
inline Error targetUnavailableError() {
    return x11Error(kStreamDisplayUnavailableCode, "The capture target is not available");
}
inline Error displayRemovedError() {
    return x11Error(kStreamDisplayUnavailableCode, "The captured display was removed");
}
inline Error windowClosedError() {
    return x11Error(kWindowClosedCode, "The captured window was closed");
}
inline Error pixelFormatError() {
    return x11Error(kPixelFormatCode, "The X server's pixel format cannot be captured");
}

}  // namespace ostrovane::platform::x11
