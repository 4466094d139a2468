#include "platform/portal/PortalScreenCast.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/dbus/SdBus.h"
#include "platform/portal/PortalErrors.h"
#include "platform/portal/PortalProperties.h"
#include "platform/portal/PortalRequest.h"
#include "platform/portal/SessionConnection.h"

namespace ostrovane::platform::portal {

namespace {

constexpr const char* kSessionInterface = "org.freedesktop.portal.Session";
// SelectSources asks the portal to keep the grant until it is revoked.
constexpr std::uint32_t kPersistUntilRevoked = 2;
constexpr std::chrono::seconds kQuickFailure{1};

Error unsupported(SourceType type) {
    const char* what = type == SourceType::window    ? "window"
                       : type == SourceType::monitor ? "monitor"
                                                     : "virtual monitor";
    return screenStreamError(kUnsupportedTargetCode,
                             std::string("The desktop portal offers no ") + what + " capture");
}

Error noAnswer(const std::string& method, std::chrono::milliseconds limit) {
    return portalFailed("The desktop portal did not answer " + method + " within " +
                        std::to_string(limit.count()) + " ms");
}

// Reads a variant holding the streams a(ua{sv}) of a granted Start.
int readStreams(sd_bus_message* value, std::vector<CastStream>& streams) {
    char type = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(value, &type, &contents);
    if (r <= 0 || type != SD_BUS_TYPE_VARIANT || !contents ||
        std::strcmp(contents, "a(ua{sv})") != 0) {
        return r < 0 ? r : 0;
    }
    if ((r = sd_bus_message_enter_container(value, SD_BUS_TYPE_VARIANT, "a(ua{sv})")) < 0 ||
        (r = sd_bus_message_enter_container(value, SD_BUS_TYPE_ARRAY, "(ua{sv})")) < 0) {
        return r;
    }
    while ((r = sd_bus_message_enter_container(value, SD_BUS_TYPE_STRUCT, "ua{sv}")) > 0) {
        CastStream stream;
        std::optional<std::pair<std::int32_t, std::int32_t>> size;
        std::optional<std::pair<std::int32_t, std::int32_t>> position;
        std::uint32_t sourceType = 0;
        bool typed = false;
        if ((r = sd_bus_message_read(value, "u", &stream.nodeId)) < 0)
            return r;
        r = dbus::readDict(value, [&](const std::string& key, sd_bus_message* property) {
            if (key == "size")
                return dbus::readPair(property, size);
            if (key == "position")
                return dbus::readPair(property, position);
            if (key == "source_type") {
                const int read = dbus::readVariant(property, 'u', sourceType);
                typed = read > 0;
                return read;
            }
            return 0;
        });
        if (r < 0 || (r = sd_bus_message_exit_container(value)) < 0)
            return r;
        if (size) {
            stream.width = size->first;
            stream.height = size->second;
        }
        if (position) {
            stream.x = position->first;
            stream.y = position->second;
        }
        if (typed)
            stream.sourceType = sourceType;
        streams.push_back(stream);
    }
    if (r < 0 || (r = sd_bus_message_exit_container(value)) < 0 ||
        (r = sd_bus_message_exit_container(value)) < 0) {
        return r;
    }
    return 1;
}

}  // namespace

class PortalSession::Impl {
  public:
    Impl(const PortalOptions& options, dbus::BusPtr bus, std::function<void(const Error&)> onClosed)
        : options_(options), connection_(std::move(bus), std::move(onClosed)) {}
    ~Impl();

    MaybeError negotiate(const CastRequest& request);
    MaybeError serve() { return connection_.serve(); }

    UniqueFd pipeWire;
    StartFailure failure = StartFailure::lasting;
    PortalOffer offered;
    CastStream stream;
    CursorMode cursorMode = CursorMode::hidden;
    std::optional<std::string> restoreToken;

  private:
    sd_bus* bus() const { return connection_.bus(); }
    dbus::MessagePtr newCall(const char* member) const {
        return dbus::newCall(bus(), kPortalName, kPortalPath, kScreenCastInterface, member);
    }
    MaybeError createSession();
    MaybeError selectSources(const CastRequest& request, std::uint32_t version,
                             std::optional<CursorMode> mode);
    MaybeError startCast();
    MaybeError openPipeWireRemote();
    // Keeps what a failed request means for a retry.
    void noteFailure(const PortalRequest& request, bool quickly);

    PortalOptions options_;
    SessionConnection connection_;
    std::string portal_;  // the portal's unique name
    std::string session_;
};

PortalSession::Impl::~Impl() {
    connection_.stop();
    // The connection is ours again. A session the portal closed needs no Close.
    if (session_.empty() || connection_.closed())
        return;
    dbus::MessagePtr call =
        dbus::newCall(bus(), kPortalName, session_.c_str(), kSessionInterface, "Close");
    dbus::call(bus(), call.get(), options_.timeout);
}

MaybeError PortalSession::Impl::negotiate(const CastRequest& request) {
    auto offer = readOffer(bus(), options_.timeout);
    if (!offer)
        return offer.error();
    offered = offer.value();
    // Refused here rather than by the portal after a dialog.
    if (!offer->offers(request.type))
        return unsupported(request.type);
    auto owner = portalOwner(bus(), options_.timeout);
    if (!owner)
        return owner.error();
    portal_ = owner.value();

    const std::optional<CursorMode> mode = chooseCursorMode(offer->cursorModes, request.showCursor);
    cursorMode = mode.value_or(CursorMode::hidden);
    if (MaybeError error = createSession())
        return error;
    if (MaybeError error = selectSources(request, offer->version, mode))
        return error;
    if (MaybeError error = startCast())
        return error;
    return openPipeWireRemote();
}

void PortalSession::Impl::noteFailure(const PortalRequest& request, bool quickly) {
    // A backend that is starting, or gone and started again by the bus,
    // fails the frontend's call to it: the frontend answers 2.
    if (request.response() == 2 && quickly)
        failure = StartFailure::transient;
}

MaybeError PortalSession::Impl::createSession() {
    PortalRequest request(bus(), portal_);
    dbus::MessagePtr call = newCall("CreateSession");
    const std::string sessionToken = newHandleToken();
    if (!call || sd_bus_message_open_container(call.get(), 'a', "{sv}") < 0 ||
        dbus::appendEntry(call.get(), "handle_token", "s", request.token().c_str()) < 0 ||
        dbus::appendEntry(call.get(), "session_handle_token", "s", sessionToken.c_str()) < 0 ||
        sd_bus_message_close_container(call.get()) < 0) {
        return portalFailed("Cannot build the CreateSession call");
    }
    auto results = request.run(call.get(), "CreateSession", options_.timeout,
                               dbus::Clock::now() + options_.timeout,
                               noAnswer("CreateSession", options_.timeout));
    if (!results) {
        noteFailure(request, true);
        return results.error();
    }
    // A string, though it names an object; some portals send an object path.
    const int r =
        dbus::readDict(results.value().get(), [&](const std::string& key, sd_bus_message* value) {
            if (key != "session_handle")
                return 0;
            const char* handle = nullptr;
            int read = dbus::readVariant(value, 's', handle);
            if (read == 0)
                read = dbus::readVariant(value, 'o', handle);
            if (read > 0 && handle)
                session_ = handle;
            return read;
        });
    if (r < 0 || session_.empty())
        return portalFailed("The desktop portal created no session");

    if (!connection_.followClosed(portal_, session_))
        return portalFailed("Cannot follow the desktop portal's session");
    return std::nullopt;
}

MaybeError PortalSession::Impl::selectSources(const CastRequest& wanted, std::uint32_t version,
                                              std::optional<CursorMode> mode) {
    PortalRequest request(bus(), portal_);
    dbus::MessagePtr call = newCall("SelectSources");
    sd_bus_message* m = call.get();
    bool built = m && sd_bus_message_append(m, "o", session_.c_str()) >= 0 &&
                 sd_bus_message_open_container(m, 'a', "{sv}") >= 0 &&
                 dbus::appendEntry(m, "handle_token", "s", request.token().c_str()) >= 0 &&
                 dbus::appendEntry(m, "types", "u", static_cast<std::uint32_t>(wanted.type)) >= 0 &&
                 dbus::appendEntry(m, "multiple", "b", 0) >= 0;
    if (built && mode)
        built = dbus::appendEntry(m, "cursor_mode", "u", static_cast<std::uint32_t>(*mode)) >= 0;
    // Grants outlive the session from version 4 on.
    if (built && version >= 4) {
        built = dbus::appendEntry(m, "persist_mode", "u", kPersistUntilRevoked) >= 0;
        if (built && wanted.restoreToken)
            built = dbus::appendEntry(m, "restore_token", "s", wanted.restoreToken->c_str()) >= 0;
    }
    if (!built || sd_bus_message_close_container(m) < 0)
        return portalFailed("Cannot build the SelectSources call");
    auto results = request.run(
        m, "SelectSources", options_.timeout, dbus::Clock::now() + options_.timeout,
        noAnswer("SelectSources", options_.timeout), [this] { return connection_.closed(); });
    if (!results) {
        noteFailure(request, true);
        // Portals check a token's form before anything else and refuse the
        // call; a token they merely do not know brings the dialog instead.
        if (request.refused() && wanted.restoreToken)
            failure = StartFailure::tokenRefused;
        return results.error();
    }
    return std::nullopt;
}

MaybeError PortalSession::Impl::startCast() {
    PortalRequest request(bus(), portal_);
    dbus::MessagePtr call = newCall("Start");
    sd_bus_message* m = call.get();
    if (!m || sd_bus_message_append(m, "os", session_.c_str(), "") < 0 ||
        sd_bus_message_open_container(m, 'a', "{sv}") < 0 ||
        dbus::appendEntry(m, "handle_token", "s", request.token().c_str()) < 0 ||
        sd_bus_message_close_container(m) < 0) {
        return portalFailed("Cannot build the Start call");
    }
    // The user answers the portal's dialog here.
    const auto asked = dbus::Clock::now();
    auto results = request.run(m, "Start", options_.timeout, asked + options_.consentLimit,
                               consentTimeoutError(), [this] { return connection_.closed(); });
    if (!results) {
        // Nobody answers a dialog within a second: a failure that quick is
        // the backend's own.
        noteFailure(request, dbus::Clock::now() - asked < kQuickFailure);
        return results.error();
    }

    std::vector<CastStream> streams;
    const int r =
        dbus::readDict(results.value().get(), [&](const std::string& key, sd_bus_message* value) {
            if (key == "streams")
                return readStreams(value, streams);
            if (key == "restore_token") {
                const char* token = nullptr;
                const int read = dbus::readVariant(value, 's', token);
                if (read > 0 && token && *token)
                    restoreToken = token;
                return read;
            }
            return 0;
        });
    if (r < 0)
        return portalFailed("The desktop portal's answer to Start is malformed");
    if (streams.empty())
        return portalFailed("The desktop portal granted no stream");
    stream = streams.front();
    return std::nullopt;
}

MaybeError PortalSession::Impl::openPipeWireRemote() {
    dbus::MessagePtr call = newCall("OpenPipeWireRemote");
    if (call && (sd_bus_message_append(call.get(), "o", session_.c_str()) < 0 ||
                 sd_bus_message_append(call.get(), "a{sv}", 0) < 0)) {
        call.reset();
    }
    const dbus::Reply reply = dbus::call(bus(), call.get(), options_.timeout);
    if (!reply.ok())
        return callFailed("OpenPipeWireRemote", reply, options_.timeout);
    int fd = -1;
    if (sd_bus_message_read(reply.message.get(), "h", &fd) < 0 || fd < 0)
        return portalFailed("The desktop portal opened no PipeWire remote");
    // The message owns the descriptor it carries.
    pipeWire.reset(fcntl(fd, F_DUPFD_CLOEXEC, 3));
    if (!pipeWire)
        return portalFailed(std::string("Cannot keep the PipeWire remote: ") +
                            std::strerror(errno));
    return std::nullopt;
}

Result<std::unique_ptr<PortalSession>> PortalSession::start(
    const PortalOptions& options, const CastRequest& request,
    std::function<void(const Error&)> onClosed, StartFailure* failure) {
    if (failure)
        *failure = StartFailure::lasting;
    auto bus = connectSessionBus(options.busAddress, options.timeout);
    if (!bus)
        return bus.error();
    // On failure the Impl closes whatever session was created.
    auto impl = std::make_unique<Impl>(options, std::move(bus).value(), std::move(onClosed));
    if (MaybeError error = impl->negotiate(request)) {
        if (failure)
            *failure = impl->failure;
        return *error;
    }
    if (MaybeError error = impl->serve())
        return *error;
    return std::make_unique<PortalSession>(Key{}, std::move(impl));
}

PortalSession::PortalSession(Key, std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PortalSession::~PortalSession() = default;

int PortalSession::pipeWireFd() const {
    return impl_->pipeWire.get();
}
const CastStream& PortalSession::stream() const {
    return impl_->stream;
}
CursorMode PortalSession::cursorMode() const {
    return impl_->cursorMode;
}
const std::optional<std::string>& PortalSession::restoreToken() const {
    return impl_->restoreToken;
}
const PortalOffer& PortalSession::offer() const {
    return impl_->offered;
}

}  // namespace ostrovane::platform::portal
