#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/PlatformError.h"
#include "platform/dbus/BusLoop.h"
#include "platform/dbus/SdBus.h"

namespace ostrovane::platform::portal {

// A running connection to the session bus at `address` (the user's when
// empty) within `limit`, or why the portal cannot be reached.
Result<dbus::BusPtr> connectSessionBus(const std::string& address, std::chrono::milliseconds limit);

// The connection of one portal session and, once the session is granted,
// the thread that serves it: the portal's Session.Closed or the loss of the
// bus reach `onClosed` once, on that thread, between two rounds of
// processing. sd-bus objects are not thread-safe: until serve() the caller
// alone uses the connection, then the thread alone until stop() returns.
class SessionConnection {
  public:
    SessionConnection(dbus::BusPtr bus, std::function<void(const Error&)> onClosed);
    ~SessionConnection();

    SessionConnection(const SessionConnection&) = delete;
    SessionConnection& operator=(const SessionConnection&) = delete;

    sd_bus* bus() const;
    // Follows the Session.Closed of `session`, sent by `portal` (a unique name).
    bool followClosed(const std::string& portal, const std::string& session);
    // Whether the portal closed the session; read by whoever owns the connection.
    bool closed() const;

    MaybeError serve();
    // Stops the thread; the caller owns the connection again and `onClosed`
    // is not called any more. Called by the observer itself, the thread ends
    // once the observer returns.
    void stop();

  private:
    struct State;
    std::shared_ptr<State> state_;  // shared with the thread, which may outlive us
    dbus::LoopThread thread_;
};

}  // namespace ostrovane::platform::portal
