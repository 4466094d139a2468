#pragma once

#include <cstdint>

#include "platform/CaptureStream.h"
#include "platform/PlatformError.h"

namespace ostrovane::platform::wayland {

// Errors of screen capture in a Wayland session: the desktop portal that
// grants access, the PipeWire stream that carries the frames, and the
// compositor. Codes beside the shared display-unavailable one stay clear of
// the X11 and sound-server codes.
inline constexpr const char* kErrorDomain = "WaylandScreenCapture";

inline constexpr std::int64_t kUserDeclinedCode = -3801;
inline constexpr std::int64_t kPortalUnavailableCode = -3820;
inline constexpr std::int64_t kPortalFailedCode = -3821;
inline constexpr std::int64_t kConsentTimeoutCode = -3822;
inline constexpr std::int64_t kSessionClosedCode = -3823;
inline constexpr std::int64_t kPipeWireCode = -3824;
inline constexpr std::int64_t kCompositorGoneCode = -3825;
inline constexpr std::int64_t kUnsupportedTargetCode = -3826;
inline constexpr std::int64_t kNotGrantedCode = -3827;
inline constexpr std::int64_t kNoNewImageCode = -3828;

inline Error waylandError(std::int64_t code, std::string message) {
    return Error{kErrorDomain, code, std::move(message)};
}
inline Error userDeclinedError() {
    return waylandError(kUserDeclinedCode, "The user declined the screen-sharing request");
}
inline Error consentTimeoutError() {
    return waylandError(kConsentTimeoutCode,
                        "The user did not answer the screen-sharing request in time");
}
inline Error sessionClosedError() {
    return waylandError(kSessionClosedCode,
                        "The screen-sharing session was closed by the user or the desktop");
}
inline Error compositorGoneError() {
    return waylandError(kCompositorGoneCode, "The connection to the Wayland compositor was lost");
}
inline Error targetUnavailableError() {
    return waylandError(kStreamDisplayUnavailableCode, "The capture target is not available");
}

}  // namespace ostrovane::platform::wayland
