#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/PlatformError.h"

namespace ostrovane::platform {

// Errors of screen capture through a compositor's screen stream: the
// desktop portal that grants access, the PipeWire stream that carries the
// frames, and the compositor itself. The domain keeps the name parents know
// it by. Codes beside the shared display-unavailable one
// (kStreamDisplayUnavailableCode) stay clear of the X11 and sound-server
// codes.
inline constexpr const char* kScreenStreamErrorDomain = "WaylandScreenCapture";

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

inline Error screenStreamError(std::int64_t code, std::string message) {
    return Error{kScreenStreamErrorDomain, code, std::move(message)};
}
inline Error userDeclinedError() {
    return screenStreamError(kUserDeclinedCode, "The user declined the screen-sharing request");
}
inline Error consentTimeoutError() {
    return screenStreamError(kConsentTimeoutCode,
                             "The user did not answer the screen-sharing request in time");
}
inline Error sessionClosedError() {
    return screenStreamError(kSessionClosedCode,
                             "The screen-sharing session was closed by the user or the desktop");
}

}  // namespace ostrovane::platform
