#pragma once

// The errors of the portal client, in the Wayland screen-capture domain.

#include <chrono>
#include <string>

#include "platform/PlatformError.h"
#include "platform/dbus/SdBus.h"
#include "platform/wayland/WaylandErrors.h"

namespace ostrovane::platform::portal {

inline Error portalUnavailable(const std::string& why) {
    return wayland::waylandError(wayland::kPortalUnavailableCode,
                                 "The desktop portal is not available: " + why);
}
inline Error noScreenCast() {
    return wayland::waylandError(wayland::kPortalUnavailableCode,
                                 "The desktop portal offers no screen casting");
}
inline Error portalFailed(std::string text) {
    return wayland::waylandError(wayland::kPortalFailedCode, std::move(text));
}
// The bus went away: while starting, a failure; once granted, the session's end.
inline constexpr const char* kBusLost = "The connection to the session bus was lost";
inline Error busLostWhileStarting() {
    return portalFailed(kBusLost);
}
inline Error busLostSessionEnded() {
    return wayland::waylandError(wayland::kSessionClosedCode, kBusLost);
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
