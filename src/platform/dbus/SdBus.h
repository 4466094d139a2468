#pragma once

// Scoped owners of sd-bus objects, and the bounded calls and waits the bus
// clients are built from. Nothing here waits without a deadline.

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/PlatformError.h"

namespace ostrovane::platform::dbus {

// Closes without flushing, whatever state the connection is in. sd-bus
// flushes without a deadline: a peer that stops reading, or a connection
// still authenticating, would hold the closing thread (a destructor, a
// stop) for ever. Nothing is lost by it: every message whose delivery
// matters is a call whose reply was awaited, so it has left the socket
// before anyone closes; what may still be queued (a match's removal) goes
// with the connection anyway.
struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

using Clock = std::chrono::steady_clock;

enum class Bus { Session, System };

// A started connection to the bus at `address`, or to `which` when it is
// empty (DBUS_SESSION_BUS_ADDRESS then $XDG_RUNTIME_DIR/bus; or
// DBUS_SYSTEM_BUS_ADDRESS then the standard socket). Authentication and
// Hello are still under way. Calls without a limit of their own (adding
// matches) wait at most `callLimit`. A negative errno when it cannot start.
int open(Bus which, const std::string& address, std::chrono::microseconds callLimit, BusPtr& bus);

// A running connection (Hello answered) to the session bus at `address`, the
// user's when it is empty, within `limit`. The error (domain kErrorDomain,
// the negative errno as its code) says which bus could not be reached, why.
inline constexpr const char* kErrorDomain = "DBus";
Result<BusPtr> connect(const std::string& address, std::chrono::milliseconds limit);

// Processes the connection until `done` holds (1), `deadline` passes (0) or
// the connection fails (a negative errno).
int runUntil(sd_bus* bus, Clock::time_point deadline, const std::function<bool()>& done);

// A method call to `destination`, or nothing when it cannot be built.
MessagePtr newCall(sd_bus* bus, const char* destination, const char* path, const char* interface,
                   const char* member);

// The answer to one call: its reply, or what went wrong.
struct Reply {
    MessagePtr message;
    std::string errorName;  // the D-Bus error's name, when the peer answered one
    std::string errorText;
    int error = 0;  // a negative errno otherwise
    bool ok() const { return message != nullptr; }
    bool timedOut() const { return !ok() && errorName == SD_BUS_ERROR_NO_REPLY; }
};

// Sends `call` and waits at most `limit` for its reply.
Reply call(sd_bus* bus, sd_bus_message* call, std::chrono::milliseconds limit);

// Reads the a{sv} the message stands at, handing each key to `entry` with the
// message at the key's variant. `entry` returns 1 when it read the variant,
// 0 to have it skipped, or a negative errno. A negative errno when malformed.
int readDict(sd_bus_message* message,
             const std::function<int(const std::string& key, sd_bus_message*)>& entry);

// Reads a variant holding one basic value of D-Bus type `type` ('u', 's',
// 'o', 'b'...). 1 when read, 0 when it holds something else (left unread).
template <typename T>
int readVariant(sd_bus_message* message, char type, T& value) {
    const char signature[2] = {type, '\0'};
    char peeked = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(message, &peeked, &contents);
    if (r <= 0 || peeked != SD_BUS_TYPE_VARIANT || !contents || std::string(contents) != signature)
        return r < 0 ? r : 0;
    if ((r = sd_bus_message_enter_container(message, SD_BUS_TYPE_VARIANT, signature)) < 0 ||
        (r = sd_bus_message_read_basic(message, type, &value)) < 0) {
        return r;
    }
    r = sd_bus_message_exit_container(message);
    return r < 0 ? r : 1;
}

// A variant holding an (ii); nothing when it holds something else.
int readPair(sd_bus_message* message, std::optional<std::pair<std::int32_t, std::int32_t>>& pair);

// An entry {key: variant of `signature`} for a dict being built; `args` are
// sd_bus_message_append's arguments for the value.
template <typename... Args>
int appendEntry(sd_bus_message* message, const char* key, const char* signature, Args... args) {
    return sd_bus_message_append(message, "{sv}", key, signature, args...);
}

}  // namespace ostrovane::platform::dbus
