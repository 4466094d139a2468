#include "platform/wayland/PortalGrants.h"

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <thread>
#include <utility>

#include "platform/wayland/WaylandErrors.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::wayland {

namespace {
// A backend the bus starts anew answers within half a second or so.
constexpr std::chrono::milliseconds kRetryPause{500};
// A retry needs room for a dialog of its own.
constexpr std::chrono::seconds kRetryRoom{5};

std::string sizeText(std::int32_t width, std::int32_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}
}  // namespace

PortalGrants::PortalGrants(portal::PortalOptions options, std::filesystem::path tokenFile, Log log)
    : options_(std::move(options)), log_(std::move(log)), _tokens(std::move(tokenFile)) {}

GrantTarget GrantTarget::display(const WaylandOutput& output) {
    return {"display:" + output.name, "display " + output.name, portal::SourceType::monitor,
            std::make_pair(output.pixelWidth, output.pixelHeight)};
}

GrantTarget GrantTarget::window(const WaylandToplevel& toplevel) {
    const std::string app = toplevel.appId.empty() ? "?" : toplevel.appId;
    return {"window:" + app, "window \"" + toplevel.title + "\" of " + app,
            portal::SourceType::window, std::nullopt};
}

GrantTarget GrantTarget::chosenWindow() {
    return {"window:chosen", "a window the user picks", portal::SourceType::window, std::nullopt};
}

std::optional<std::string> grantKeyOf(const GrantTarget& asked, const portal::CastStream& stream,
                                      const std::vector<WaylandOutput>& outputs) {
    using portal::SourceType;
    // A window is told by its type alone; a display by its place and size,
    // not its type, which some portals get wrong (xdg-desktop-portal-wlr
    // calls every output a window).
    const bool display = asked.type == SourceType::monitor;
    const bool monitorSaid = stream.sourceType == static_cast<std::uint32_t>(SourceType::monitor);
    if (!display && !monitorSaid)
        return asked.key;
    if (!stream.width || !stream.height)
        return display ? std::optional(asked.key) : std::nullopt;
    // Portals tell the size in pixels or in logical units, and the place
    // in logical units where they tell it at all.
    std::vector<const WaylandOutput*> matching;
    for (const WaylandOutput& output : outputs) {
        const bool sized =
            (*stream.width == output.pixelWidth && *stream.height == output.pixelHeight) ||
            (*stream.width == output.width && *stream.height == output.height);
        const bool placed =
            !stream.x || !stream.y || (*stream.x == output.x && *stream.y == output.y);
        if (sized && placed)
            matching.push_back(&output);
    }
    const auto askedOne = std::find_if(matching.begin(), matching.end(), [&](const auto* o) {
        return GrantTarget::display(*o).key == asked.key;
    });
    if (display && askedOne != matching.end())
        return asked.key;
    if (matching.size() == 1)
        return GrantTarget::display(*matching.front()).key;
    // Not told the outputs: the asked display's own size is the best guide.
    if (display && outputs.empty() && asked.size == std::make_pair(*stream.width, *stream.height))
        return asked.key;
    return std::nullopt;
}

void PortalGrants::noteOutputs(std::vector<WaylandOutput> outputs) {
    util::MutexLock lock(mutex_);
    _outputs = std::move(outputs);
}

Result<std::unique_ptr<portal::PortalSession>> PortalGrants::start(
    const GrantTarget& target, const portal::CastRequest& request,
    const std::function<void(const Error&)>& onClosed, portal::StartFailure& failure) {
    const auto began = std::chrono::steady_clock::now();
    auto session = portal::PortalSession::start(options_, request, onClosed, &failure);
    if (session || failure != portal::StartFailure::transient)
        return session;
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - began + kRetryPause);
    portal::PortalOptions retry = options_;
    retry.consentLimit -= spent;
    if (retry.consentLimit < kRetryRoom)
        return session;
    log_("WaylandScreenCapture: the desktop portal failed by itself while asked for " +
         target.description + " (" + session.error().message + "): asking once more");
    // Like every wait on the portal, on the bus's own clock.
    std::this_thread::sleep_for(kRetryPause);
    return portal::PortalSession::start(retry, request, onClosed, &failure);
}

Result<std::unique_ptr<portal::PortalSession>> PortalGrants::request(
    const GrantTarget& target, bool showCursor, std::function<void(const Error&)> onClosed,
    Consent consent) {
    portal::CastRequest request;
    request.type = target.type;
    request.showCursor = showCursor;
    {
        util::MutexLock lock(mutex_);
        request.restoreToken = _tokens.find(target.key);
    }
    if (consent == Consent::storedOnly && !request.restoreToken) {
        return waylandError(kNotGrantedCode, "The " + target.description +
                                                 " has not been granted: the user would be asked");
    }
    log_("WaylandScreenCapture: asking the desktop portal for " + target.description +
         (request.restoreToken ? " with its stored grant" : " (the user may be asked)"));
    portal::StartFailure failure = portal::StartFailure::lasting;
    auto session = start(target, request, onClosed, failure);
    if (!session && failure == portal::StartFailure::tokenRefused) {
        // A token the portal cannot read (a file from another portal, a
        // damaged one) is refused outright: forget it, and ask once more
        // without it where the user may be asked.
        log_("WaylandScreenCapture: the desktop portal refused the stored grant of " +
             target.description + " (" + session.error().message + ")");
        {
            util::MutexLock lock(mutex_);
            _tokens.forget(target.key);
        }
        if (consent == Consent::mayAsk) {
            request.restoreToken.reset();
            session = start(target, request, onClosed, failure);
        }
    }
    if (!session)
        return session.error();
    sayNegotiated(target, *session.value());
    keep(target, *session.value());
    return std::move(session.value());
}

namespace {
std::string namesOf(std::uint32_t bits,
                    std::initializer_list<std::pair<std::uint32_t, const char*>> names) {
    std::string out;
    for (const auto& [bit, name] : names) {
        if (bits & bit)
            out += (out.empty() ? "" : "+") + std::string(name);
    }
    return out.empty() ? "none" : out;
}
}  // namespace

void PortalGrants::sayNegotiated(const GrantTarget& target, const portal::PortalSession& session) {
    const portal::PortalOffer& offer = session.offer();
    const std::string said =
        "WaylandScreenCapture: desktop portal ScreenCast version " + std::to_string(offer.version) +
        ", source types " +
        namesOf(offer.sourceTypes, {{1, "monitor"}, {2, "window"}, {4, "virtual"}}) +
        ", cursor modes " +
        namesOf(offer.cursorModes, {{1, "hidden"}, {2, "embedded"}, {4, "metadata"}}) +
        "; cursor " +
        namesOf(static_cast<std::uint32_t>(session.cursorMode()),
                {{1, "hidden"}, {2, "embedded"}, {4, "metadata"}});
    bool sayOffer = false;
    bool sayTokenless = false;
    {
        util::MutexLock lock(mutex_);
        sayOffer = std::exchange(_offerSaid, said) != said;
        sayTokenless = !session.restoreToken() && !std::exchange(_tokenlessSaid, true);
    }
    if (sayOffer)
        log_(said);
    if (sayTokenless) {
        log_("WaylandScreenCapture: the desktop portal gave no restore token for " +
             target.description + (offer.version < 4 ? " (its version keeps no grants)" : "") +
             ": the user is asked at every start");
    }
}

void PortalGrants::keep(const GrantTarget& target, const portal::PortalSession& session) {
    const portal::CastStream& stream = session.stream();
    const std::optional<std::string>& token = session.restoreToken();
    std::optional<std::string> key;
    bool kept = true;
    std::string file;
    {
        util::MutexLock lock(mutex_);
        key = grantKeyOf(target, stream, _outputs);
        // Tokens are single-use: the one just spent is gone whatever was
        // granted, and the newest is kept under what it grants.
        if (key != target.key)
            _tokens.forget(target.key);
        if (key)
            kept = token ? _tokens.store(*key, *token) : _tokens.forget(*key);
        file = _tokens.file().string();
    }
    if (!kept && !file.empty()) {
        log_("WaylandScreenCapture: the grant of " + target.description + " could not be kept in " +
             file + ": the user will be asked again");
    }
    const bool otherSize = target.size && stream.width && stream.height &&
                           std::make_pair(*stream.width, *stream.height) != *target.size;
    if (key == target.key && !otherSize)
        return;
    const std::string granted = stream.width && stream.height
                                    ? "a " + sizeText(*stream.width, *stream.height) + " source"
                                    : "another source";
    const std::string asked =
        target.size ? " (" + sizeText(target.size->first, target.size->second) + ")" : "";
    const std::string filed = key == target.key ? ""
                              : key ? ", kept as the grant of " + key->substr(0, key->find(':')) +
                                          " " + key->substr(key->find(':') + 1)
                                    : ", not kept: the next start asks again";
    log_("WaylandScreenCapture: the portal granted " + granted + " for " + target.description +
         asked + ": filming what the user granted" + filed);
}

}  // namespace ostrovane::platform::wayland
