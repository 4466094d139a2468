#include "platform/wayland/PortalGrants.h"

#include "platform/wayland/WaylandErrors.h"

namespace ostrovane::platform::wayland {

PortalGrants::PortalGrants(portal::PortalOptions options, std::filesystem::path tokenFile, Log log)
    : options_(std::move(options)), log_(std::move(log)), _tokens(std::move(tokenFile)) {}

std::string PortalGrants::targetKey(const WaylandOutput& output) {
    return "display:" + output.name;
}

Result<std::unique_ptr<portal::PortalSession>> PortalGrants::request(
    const WaylandOutput& output, bool showCursor, std::function<void(const Error&)> onClosed) {
    const std::string key = targetKey(output);
    portal::CastRequest request;
    request.type = portal::SourceType::monitor;
    request.showCursor = showCursor;
    {
        std::lock_guard lock(mutex_);
        request.restoreToken = _tokens.find(key);
    }
    log_("WaylandScreenCapture: asking the desktop portal for display " + output.name +
         (request.restoreToken ? " with its stored grant" : " (the user may be asked)"));
    auto session = portal::PortalSession::start(options_, request, onClosed);
    if (!session && request.restoreToken && session.error().code == kPortalFailedCode) {
        // A token the portal cannot read (a file from another portal, a
        // damaged one) is refused outright: ask once more without it.
        log_("WaylandScreenCapture: the desktop portal refused the stored grant of display " +
             output.name + " (" + session.error().message + "): asking without it");
        {
            std::lock_guard lock(mutex_);
            _tokens.forget(key);
        }
        request.restoreToken.reset();
        session = portal::PortalSession::start(options_, request, std::move(onClosed));
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
        log_("WaylandScreenCapture: the grant of display " + output.name +
             " could not be kept in " + file + ": the user will be asked again");
    }
    const portal::CastStream& stream = session.value()->stream();
    if (stream.width && stream.height &&
        (*stream.width != output.pixelWidth || *stream.height != output.pixelHeight)) {
        log_("WaylandScreenCapture: the portal granted a " + std::to_string(*stream.width) + "x" +
             std::to_string(*stream.height) + " source for display " + output.name + " (" +
             std::to_string(output.pixelWidth) + "x" + std::to_string(output.pixelHeight) +
             "): filming what the user granted");
    }
    return std::move(session.value());
}

}  // namespace ostrovane::platform::wayland
