#include "platform/dbus/SdBus.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ostrovane::platform::dbus {

namespace {

std::uint64_t usecUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    return static_cast<std::uint64_t>(std::chrono::ceil<std::chrono::microseconds>(left).count());
}

// Where the bus was looked for, as sd_bus_open_user looks.
std::string describeBus(const std::string& address) {
    if (!address.empty())
        return " at " + address;
    const char* session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (session && *session)
        return " at " + std::string(session);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return " at unix:path=" + std::string(runtime) + "/bus";
    return {};
}

Error noBus(const std::string& address, int error) {
    const std::string where = describeBus(address);
    return Error{
        kErrorDomain, error,
        "no session bus" + (where.empty()
                                ? " (neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set)"
                                : where + " (" + std::strerror(-error) + ")")};
}

}  // namespace

int open(Bus which, const std::string& address, std::chrono::microseconds callLimit, BusPtr& bus) {
    sd_bus* raw = nullptr;
    int r = 0;
    const auto usec = static_cast<std::uint64_t>(callLimit.count());
    if (address.empty()) {
        // Private to us, never the shared default connection.
        if ((r = which == Bus::Session ? sd_bus_open_user(&raw) : sd_bus_open_system(&raw)) < 0)
            return r;
        bus.reset(raw);
        return sd_bus_set_method_call_timeout(raw, usec);
    }
    if ((r = sd_bus_new(&raw)) < 0)
        return r;
    bus.reset(raw);
    if ((r = sd_bus_set_address(raw, address.c_str())) < 0 ||
        (r = sd_bus_set_bus_client(raw, 1)) < 0 ||
        (r = sd_bus_set_method_call_timeout(raw, usec)) < 0 || (r = sd_bus_start(raw)) < 0) {
        return r;
    }
    return 0;
}

Result<BusPtr> connect(const std::string& address, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    BusPtr bus;
    // One microsecond past the limit: 0 would mean sd-bus's own default.
    int r = open(Bus::Session, address, limit + std::chrono::microseconds(1), bus);
    if (r < 0)
        return noBus(address, r);
    // Authentication and Hello run in the background; wait for them here so
    // that no later call waits for them without a bound.
    r = runUntil(bus.get(), deadline, [&] { return sd_bus_is_ready(bus.get()) > 0; });
    if (r <= 0)
        return noBus(address, r == 0 ? -ETIMEDOUT : r);
    return bus;
}

int runUntil(sd_bus* bus, Clock::time_point deadline, const std::function<bool()>& done) {
    for (;;) {
        int r = 0;
        while ((r = sd_bus_process(bus, nullptr)) > 0) {
            if (done())
                return 1;
        }
        if (r < 0)
            return r;
        if (done())
            return 1;
        const std::uint64_t left = usecUntil(deadline);
        if (left == 0)
            return 0;
        r = sd_bus_wait(bus, left);
        if (r < 0 && r != -EINTR)
            return r;
    }
}

MessagePtr newCall(sd_bus* bus, const char* destination, const char* path, const char* interface,
                   const char* member) {
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus, &raw, destination, path, interface, member) < 0)
        return nullptr;
    return MessagePtr(raw);
}

Reply call(sd_bus* bus, sd_bus_message* message, std::chrono::milliseconds limit) {
    Reply reply;
    if (!message) {
        reply.error = -ENOMEM;
        reply.errorText = std::strerror(ENOMEM);
        return reply;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* raw = nullptr;
    // 0 would mean sd-bus's own default, not "at once".
    const auto usec = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(limit.count()) * 1000);
    const int r = sd_bus_call(bus, message, usec, &error, &raw);
    if (r >= 0) {
        reply.message.reset(raw);
    } else {
        reply.error = r;
        if (sd_bus_error_is_set(&error)) {
            reply.errorName = error.name;
            reply.errorText = error.message ? error.message : error.name;
        } else {
            reply.errorText = std::strerror(-r);
        }
        // sd-bus reports its own timeout as ETIMEDOUT with a NoReply error.
        if (r == -ETIMEDOUT)
            reply.errorName = SD_BUS_ERROR_NO_REPLY;
    }
    sd_bus_error_free(&error);
    return reply;
}

int readDict(sd_bus_message* message,
             const std::function<int(const std::string& key, sd_bus_message*)>& entry) {
    int r = sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "{sv}");
    if (r <= 0)
        return r < 0 ? r : -EBADMSG;
    while ((r = sd_bus_message_enter_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
        const char* key = nullptr;
        if ((r = sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &key)) < 0 ||
            (r = entry(key, message)) < 0) {
            return r;
        }
        if (r == 0 && (r = sd_bus_message_skip(message, "v")) < 0)
            return r;
        if ((r = sd_bus_message_exit_container(message)) < 0)
            return r;
    }
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(message);
}

int readPair(sd_bus_message* message, std::optional<std::pair<std::int32_t, std::int32_t>>& pair) {
    char type = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(message, &type, &contents);
    if (r <= 0 || type != SD_BUS_TYPE_VARIANT || !contents || std::strcmp(contents, "(ii)") != 0)
        return r < 0 ? r : 0;
    std::int32_t first = 0;
    std::int32_t second = 0;
    if ((r = sd_bus_message_enter_container(message, SD_BUS_TYPE_VARIANT, "(ii)")) < 0 ||
        (r = sd_bus_message_read(message, "(ii)", &first, &second)) < 0 ||
        (r = sd_bus_message_exit_container(message)) < 0) {
        return r;
    }
    pair.emplace(first, second);
    return 1;
}

}  // namespace ostrovane::platform::dbus
