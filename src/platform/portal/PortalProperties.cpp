#include "platform/portal/PortalProperties.h"

#include <cerrno>

#include "platform/dbus/SdBus.h"
#include "platform/portal/PortalErrors.h"
#include "platform/portal/SessionConnection.h"

namespace ostrovane::platform::portal {

namespace {

bool nameMissing(const dbus::Reply& reply) {
    return reply.errorName == SD_BUS_ERROR_SERVICE_UNKNOWN ||
           reply.errorName == SD_BUS_ERROR_NAME_HAS_NO_OWNER ||
           reply.errorName.starts_with("org.freedesktop.DBus.Error.Spawn.");
}

// sd-bus and GDBus services answer a missing object or interface differently.
bool interfaceMissing(const dbus::Reply& reply) {
    return reply.errorName == SD_BUS_ERROR_UNKNOWN_INTERFACE ||
           reply.errorName == SD_BUS_ERROR_UNKNOWN_OBJECT ||
           reply.errorName == SD_BUS_ERROR_UNKNOWN_METHOD ||
           reply.errorName == SD_BUS_ERROR_INVALID_ARGS;
}

Error unanswered(const dbus::Reply& reply, std::chrono::milliseconds limit) {
    if (nameMissing(reply))
        return portalUnavailable(std::string("nothing serves ") + kPortalName +
                                 " on the session bus");
    if (reply.timedOut())
        return portalUnavailable("it did not answer within " + std::to_string(limit.count()) +
                                 " ms");
    return portalUnavailable(reply.errorText);
}

}  // namespace

Result<PortalOffer> readOffer(sd_bus* bus, std::chrono::milliseconds limit) {
    dbus::MessagePtr call =
        dbus::newCall(bus, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "GetAll");
    if (call && sd_bus_message_append(call.get(), "s", kScreenCastInterface) < 0)
        call.reset();
    const dbus::Reply reply = dbus::call(bus, call.get(), limit);
    if (!reply.ok())
        return interfaceMissing(reply) ? noScreenCast() : unanswered(reply, limit);

    PortalOffer offer;
    bool versioned = false;
    const int r =
        dbus::readDict(reply.message.get(), [&](const std::string& key, sd_bus_message* value) {
            if (key == "version") {
                const int read = dbus::readVariant(value, 'u', offer.version);
                versioned = read > 0;
                return read;
            }
            if (key == "AvailableSourceTypes")
                return dbus::readVariant(value, 'u', offer.sourceTypes);
            if (key == "AvailableCursorModes")
                return dbus::readVariant(value, 'u', offer.cursorModes);
            return 0;
        });
    if (r < 0)
        return portalUnavailable("its ScreenCast properties are malformed");
    // A GDBus service answers an interface it lacks with no properties.
    if (!versioned)
        return noScreenCast();
    return offer;
}

Result<std::string> portalOwner(sd_bus* bus, std::chrono::milliseconds limit) {
    dbus::MessagePtr call = dbus::newCall(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "GetNameOwner");
    if (call && sd_bus_message_append(call.get(), "s", kPortalName) < 0)
        call.reset();
    const dbus::Reply reply = dbus::call(bus, call.get(), limit);
    const char* owner = nullptr;
    if (!reply.ok())
        return unanswered(reply, limit);
    if (sd_bus_message_read(reply.message.get(), "s", &owner) < 0 || !owner)
        return portalUnavailable("the bus named no owner of " + std::string(kPortalName));
    return std::string(owner);
}

std::optional<CursorMode> chooseCursorMode(std::uint32_t offered, bool showCursor) {
    const auto has = [offered](CursorMode mode) {
        return (offered & static_cast<std::uint32_t>(mode)) != 0;
    };
    if (showCursor && has(CursorMode::embedded))
        return CursorMode::embedded;
    if (showCursor && has(CursorMode::metadata))
        return CursorMode::metadata;
    if (has(CursorMode::hidden))
        return CursorMode::hidden;
    return std::nullopt;
}

Result<PortalOffer> readPortalOffer(const PortalOptions& options) {
    auto bus = connectSessionBus(options.busAddress, options.timeout);
    if (!bus)
        return bus.error();
    return readOffer(bus.value().get(), options.timeout);
}

}  // namespace ostrovane::platform::portal
