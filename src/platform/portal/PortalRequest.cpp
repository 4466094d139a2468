#include "platform/portal/PortalRequest.h"

#include <cstdio>
#include <random>

#include "platform/portal/PortalErrors.h"

namespace ostrovane::platform::portal {

namespace {

constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";

}  // namespace

std::string newHandleToken() {
    std::random_device random;
    const std::uint64_t bits = (static_cast<std::uint64_t>(random()) << 32) | random();
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(bits));
    return std::string("ostrovane") + hex;
}

std::string requestPath(const std::string& uniqueName, const std::string& token) {
    std::string sender = uniqueName.starts_with(':') ? uniqueName.substr(1) : uniqueName;
    for (char& c : sender) {
        if (c == '.')
            c = '_';
    }
    return "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
}

PortalRequest::PortalRequest(sd_bus* bus, std::string portal)
    : bus_(bus), portal_(std::move(portal)), token_(newHandleToken()) {}

int PortalRequest::onResponse(sd_bus_message* signal, void* userdata, sd_bus_error*) {
    auto& request = *static_cast<PortalRequest*>(userdata);
    const char* path = sd_bus_message_get_path(signal);
    if (request.response_ || !path || request.path_ != path)
        return 0;
    std::uint32_t code = 0;
    if (sd_bus_message_read(signal, "u", &code) < 0)
        code = 2;  // a malformed answer is a failure, not a grant
    request.code_ = code;
    request.response_.reset(sd_bus_message_ref(signal));
    return 0;
}

bool PortalRequest::subscribe() {
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(bus_, &slot, portal_.c_str(), path_.c_str(), kRequestInterface,
                            "Response", &PortalRequest::onResponse, this) < 0) {
        return false;
    }
    match_.reset(slot);
    return true;
}

Result<dbus::MessagePtr> PortalRequest::run(sd_bus_message* call, const std::string& method,
                                            std::chrono::milliseconds callLimit,
                                            dbus::Clock::time_point answerBy, const Error& late,
                                            const std::function<bool()>& abandon) {
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus_, &unique) < 0)
        return busLostWhileStarting();
    path_ = requestPath(unique, token_);
    if (!subscribe())
        return portalFailed("Cannot follow the desktop portal's answer to " + method);

    const dbus::Reply reply = dbus::call(bus_, call, callLimit);
    if (!reply.ok()) {
        refused_ = !reply.errorName.empty() && !reply.timedOut();
        return callFailed(method, reply, callLimit);
    }
    const char* handle = nullptr;
    if (sd_bus_message_read(reply.message.get(), "o", &handle) < 0)
        return portalFailed("The desktop portal answered " + method + " without a request");
    // Older portals choose the path themselves and answer after the call
    // returned: follow the one they named.
    if (path_ != handle) {
        path_ = handle;
        if (!subscribe())
            return portalFailed("Cannot follow the desktop portal's answer to " + method);
    }

    const int r =
        dbus::runUntil(bus_, answerBy, [&] { return response_ || (abandon && abandon()); });
    if (r < 0)
        return busLostWhileStarting();
    if (!response_ && r == 0) {
        close(callLimit);
        return late;
    }
    if (!response_)
        return sessionClosedError();
    match_.reset();
    switch (code_) {
        case 0:
            return std::move(response_);
        case 1:
            return userDeclinedError();
        default:
            return portalFailed("The desktop portal failed " + method + " (response " +
                                std::to_string(code_) + ")");
    }
}

// Asks the portal to drop the request; errors are ignored.
void PortalRequest::close(std::chrono::milliseconds limit) {
    match_.reset();
    dbus::MessagePtr message =
        dbus::newCall(bus_, portal_.c_str(), path_.c_str(), kRequestInterface, "Close");
    dbus::call(bus_, message.get(), limit);
}

}  // namespace ostrovane::platform::portal
