#pragma once

// The errors of the portal client, in the screen-stream domain.

#include <chrono>
#include <string>

#include "platform/PlatformError.h"
#include "platform/ScreenStreamErrors.h"
#include "platform/dbus/SdBus.h"

namespace ostrovane::platform::portal {

inline Error portalUnavailable(const std::string& why) {
    return screenStreamError(kPortalUnavailableCode, "The desktop portal is not available: " + why);
}
inline Error noScreenCast() {
    return screenStreamError(kPortalUnavailableCode, "The desktop portal offers no screen casting");
}
inline Error portalFailed(std::string text) {
    return screenStreamError(kPortalFailedCode, std::move(text));
}
// The bus went away: while starting, a failure; once granted, the session's end.
inline constexpr const char* kBusLost = "The connection to the session bus was lost";
inline Error busLostWhileStarting() {
    return portalFailed(kBusLost);
}
inline Error busLostSessionEnded() {
    return screenStreamError(kSessionClosedCode, kBusLost);
}

// A portal method that failed or did not answer in time.
inline Error callFailed(const std::string& method, const dbus::Reply& reply,
                        std::chrono::milliseconds limit) {
    if (reply.timedOut()) {
        return portalFailed("The desktop portal did not answer " + method + " within " +
                            std::to_string(limit.count()) + " ms");
    }
    return portalFailed("The desktop portal refused " + method + ": " + reply.errorText);
}

}  // namespace ostrovane::platform::portal
