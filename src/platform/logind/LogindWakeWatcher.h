#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/dbus/BusLoop.h"

namespace ostrovane::platform::logind {

// Follows logind's PrepareForSleep signal on the system bus and calls
// `onWake` on the watcher's own thread each time the system has woken
// (PrepareForSleep(false)); going to sleep (true) is ignored. Only broadcasts
// from the owner of org.freedesktop.login1 count: the bus filters them by
// sender for us, and a signal addressed to us directly, which the bus hands
// over whatever our match says, is ignored.
//
// Without a reachable bus nothing happens and nothing fails; the watcher
// tries again every `retryInterval` while it lives, also after a lost
// connection. No wait is unbounded and none blocks the caller: connecting,
// authenticating and installing the match all run on the watcher's thread.
// The destructor stops that thread and joins it; run from within `onWake`
// (on the thread itself), it leaves the thread to end by itself instead.
class LogindWakeWatcher {
  public:
    struct Options {
        // The bus address; empty: the system bus (DBUS_SYSTEM_BUS_ADDRESS,
        // then the standard socket).
        std::string busAddress;
        std::chrono::milliseconds retryInterval{3000};
    };

    LogindWakeWatcher(Options options, std::function<void()> onWake);
    ~LogindWakeWatcher();

    LogindWakeWatcher(const LogindWakeWatcher&) = delete;
    LogindWakeWatcher& operator=(const LogindWakeWatcher&) = delete;

    // Whether the watcher is connected and the bus has accepted its match: a
    // wake announced from now on reaches `onWake`.
    bool following() const;

  private:
    struct State;
    std::shared_ptr<State> state_;  // shared with the thread, which may outlive us
    dbus::LoopThread thread_;
};

}  // namespace ostrovane::platform::logind
