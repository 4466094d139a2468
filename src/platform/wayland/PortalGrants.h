#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/PlatformError.h"
#include "platform/portal/PortalScreenCast.h"
#include "platform/portal/RestoreTokens.h"
#include "platform/wayland/WaylandOutputs.h"

namespace ostrovane::platform::wayland {

// Asks the desktop portal for a display, once per display: the newest
// restore token of each display goes with the request and the one the
// portal returns replaces it (none returned: it is forgotten), so the user
// sees the portal's dialog only for a display not granted before. Shared by
// the streams of one provider; any thread.
class PortalGrants {
  public:
    using Log = std::function<void(std::string_view)>;

    PortalGrants(portal::PortalOptions options, std::filesystem::path tokenFile, Log log);

    // A granted session for `output` (this may wait for the user, at most the
    // portal options' consent limit). When the portal grants another source
    // than the one asked for (the user picked another monitor), the session
    // films what the user granted and the log says so.
    Result<std::unique_ptr<portal::PortalSession>> request(
        const WaylandOutput& output, bool showCursor, std::function<void(const Error&)> onClosed);

    // The key under which a display's token is kept: its connector name,
    // which outlives the compositor's ids.
    static std::string targetKey(const WaylandOutput& output);

  private:
    const portal::PortalOptions options_;
    const Log log_;
    std::mutex mutex_;
    portal::RestoreTokens _tokens;  // guarded by mutex_
};

}  // namespace ostrovane::platform::wayland
