#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/PlatformError.h"
#include "platform/portal/PortalScreenCast.h"
#include "platform/portal/RestoreTokens.h"
#include "platform/wayland/WaylandOutputs.h"
#include "platform/wayland/WaylandToplevels.h"
#include "util/ThreadAnnotations.h"

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
    // Whatever window the user picks in the portal's dialog, on desktops
    // that list no windows: its token brings back the same window.
    static GrantTarget chosenWindow();
};

// The key a grant is kept under: the asked target's, or another display's
// when the stream is that display (its place and size are that output's:
// the user picked another monitor), or none when it matches no display (a
// whole workspace, a virtual output) or is another kind of source than
// asked. Where the portal tells no size, the grant is taken as asked.
std::optional<std::string> grantKeyOf(const GrantTarget& asked, const portal::CastStream& stream,
                                      const std::vector<WaylandOutput>& outputs);

// Asks the desktop portal for a display or window, once per target: the
// newest restore token of each target goes with the request and the one the
// portal returns replaces it, kept under what was granted (grantKeyOf), so
// the user sees the portal's dialog only for a target not granted before.
// A backend that fails by itself (one that is starting again) is asked once
// more within the consent limit; a token is forgotten only when the portal
// refuses it. Shared by the streams of one provider; any thread.
class PortalGrants {
  public:
    using Log = std::function<void(std::string_view)>;

    PortalGrants(portal::PortalOptions options, std::filesystem::path tokenFile, Log log);

    // Whether the user may be shown the portal's dialog. A still nobody
    // asked for explicitly (a thumbnail) uses a stored grant or nothing.
    enum class Consent { mayAsk, storedOnly };

    // A granted session for `target` (this may wait for the user, at most the
    // portal options' consent limit). When the portal grants another source
    // than the one asked for (the user picked another monitor), the session
    // films what the user granted and the log says so.
    // With Consent::storedOnly and no stored grant, kNotGrantedCode at once.
    Result<std::unique_ptr<portal::PortalSession>> request(
        const GrantTarget& target, bool showCursor, std::function<void(const Error&)> onClosed,
        Consent consent = Consent::mayAsk);

    // The displays as last listed, which grants are matched against.
    void noteOutputs(std::vector<WaylandOutput> outputs);

  private:
    // One start, and once more when the backend failed by itself.
    Result<std::unique_ptr<portal::PortalSession>> start(
        const GrantTarget& target, const portal::CastRequest& request,
        const std::function<void(const Error&)>& onClosed, portal::StartFailure& failure);
    void keep(const GrantTarget& target, const portal::PortalSession& session);
    // Logs what the portal offered and what was asked, when that changed.
    void sayNegotiated(const GrantTarget& target, const portal::PortalSession& session);

    const portal::PortalOptions options_;
    const Log log_;
    util::Mutex mutex_;
    portal::RestoreTokens _tokens GUARDED_BY(mutex_);
    std::vector<WaylandOutput> _outputs GUARDED_BY(mutex_);
    std::string _offerSaid GUARDED_BY(mutex_);  // the offer last logged
    bool _tokenlessSaid GUARDED_BY(mutex_) = false;
};

}  // namespace ostrovane::platform::wayland
