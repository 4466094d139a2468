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
#include "platform/wayland/WaylandToplevels.h"

namespace ostrovane::platform::wayland {

// What is asked of the portal: a display, or a window (which the portal's
// own picker chooses among the windows it offers).
struct GrantTarget {
    std::string key;          // the key of its restore token
    std::string description;  // "display HEADLESS-1", for the log
    portal::SourceType type = portal::SourceType::monitor;
    // The pixel size it has, when known: a grant of another size was the
    // user's other pick.
    std::optional<std::pair<std::int32_t, std::int32_t>> size;

    // A display's token is kept under its connector name, which outlives
    // the compositor's ids; a window's under its application's id, as its
    // title changes and the window itself is gone after the session.
    static GrantTarget display(const WaylandOutput& output);
    static GrantTarget window(const WaylandToplevel& toplevel);
};

// Asks the desktop portal for a display or window, once per target: the
// newest restore token of each target goes with the request and the one the
// portal returns replaces it (none returned: it is forgotten), so the user
// sees the portal's dialog only for a target not granted before. Shared by
// the streams of one provider; any thread.
class PortalGrants {
  public:
    using Log = std::function<void(std::string_view)>;

    PortalGrants(portal::PortalOptions options, std::filesystem::path tokenFile, Log log);

    // Whether the user may be shown the portal's dialog. A still nobody
    // asked for explicitly (a thumbnail) uses a stored grant or nothing.
    enum class Consent { mayAsk, storedOnly };

    // A granted session for `output` (this may wait for the user, at most the
    // portal options' consent limit). When the portal grants another source
    // than the one asked for (the user picked another monitor), the session
    // films what the user granted and the log says so.
    // With Consent::storedOnly and no stored grant, kNotGrantedCode at once.
    Result<std::unique_ptr<portal::PortalSession>> request(
        const GrantTarget& target, bool showCursor, std::function<void(const Error&)> onClosed,
        Consent consent = Consent::mayAsk);

  private:
    const portal::PortalOptions options_;
    const Log log_;
    std::mutex mutex_;
    portal::RestoreTokens _tokens;  // guarded by mutex_
};

}  // namespace ostrovane::platform::wayland
