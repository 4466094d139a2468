#include "platform/wayland/PortalGrants.h"

#include "platform/wayland/WaylandErrors.h"

namespace ostrovane::platform::wayland {

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

Result<std::unique_ptr<portal::PortalSession>> PortalGrants::request(
    const GrantTarget& target, bool showCursor, std::function<void(const Error&)> onClosed,
    Consent consent) {
    const std::string& key = target.key;
    portal::CastRequest request;
    request.type = target.type;
    request.showCursor = showCursor;
    {
        std::lock_guard lock(mutex_);
        request.restoreToken = _tokens.find(key);
    }
    if (consent == Consent::storedOnly && !request.restoreToken) {
        return waylandError(kNotGrantedCode, "The " + target.description +
                                                 " has not been granted: the user would be asked");
    }
    log_("WaylandScreenCapture: asking the desktop portal for " + target.description +
         (request.restoreToken ? " with its stored grant" : " (the user may be asked)"));
    auto session = portal::PortalSession::start(options_, request, onClosed);
    if (!session && request.restoreToken && session.error().code == kPortalFailedCode) {
        // A token the portal cannot read (a file from another portal, a
        // damaged one) is refused outright: forget it, and ask once more
        // without it where the user may be asked.
        log_("WaylandScreenCapture: the desktop portal refused the stored grant of " +
             target.description + " (" + session.error().message + ")");
        {
            std::lock_guard lock(mutex_);
            _tokens.forget(key);
        }
        if (consent == Consent::mayAsk) {
            request.restoreToken.reset();
            session = portal::PortalSession::start(options_, request, std::move(onClosed));
        }
    }
    if (!session)
        return session.error();
    // Tokens are single-use: the newest replaces the one just spent.
    const auto& token = session.value()->restoreToken();
    bool kept = true;
    std::string file;
    {
        std::lock_guard lock(mutex_);
        kept = token ? _tokens.store(key, *token) : _tokens.forget(key);
        file = _tokens.file().string();
    }
    if (!kept && !file.empty()) {
        log_("WaylandScreenCapture: the grant of " + target.description + " could not be kept in " +
             file + ": the user will be asked again");
    }
    const portal::CastStream& stream = session.value()->stream();
    if (target.size && stream.width && stream.height &&
        std::make_pair(*stream.width, *stream.height) != *target.size) {
        log_("WaylandScreenCapture: the portal granted a " + std::to_string(*stream.width) + "x" +
             std::to_string(*stream.height) + " source for " + target.description + " (" +
             std::to_string(target.size->first) + "x" + std::to_string(target.size->second) +
             "): filming what the user granted");
    }
    if (target.type == portal::SourceType::window && stream.sourceType &&
        *stream.sourceType != static_cast<std::uint32_t>(portal::SourceType::window)) {
        log_("WaylandScreenCapture: the portal granted another kind of source for " +
             target.description + ": filming what the user granted");
    }
    return std::move(session.value());
}

}  // namespace ostrovane::platform::wayland
