#include "platform/logind/LogindWakeWatcher.h"

#include <systemd/sd-bus.h>

#include <atomic>

#include "platform/dbus/BusLoop.h"
#include "platform/dbus/SdBus.h"

namespace ostrovane::platform::logind {

namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManagerInterface = "org.freedesktop.login1.Manager";
constexpr const char* kPrepareForSleep = "PrepareForSleep";

// The bound of every call on the bus (the match installation): a bus that
// stops answering is given up and connected again.
constexpr std::chrono::seconds kCallLimit{5};

}  // namespace

struct LogindWakeWatcher::State {
    Options options;
    std::function<void()> onWake;
    std::atomic<bool> following{false};

    void run(const dbus::StopSignal& stop);
    void follow(sd_bus* bus, const dbus::StopSignal& stop);
};

namespace {

// What the callbacks of one connection report to its loop.
struct ConnectionEvents {
    bool matchFailed = false;
    bool matchInstalled = false;
    int wakes = 0;
};

int onMatchInstalled(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& events = *static_cast<ConnectionEvents*>(userdata);
    if (sd_bus_message_is_method_error(reply, nullptr))
        events.matchFailed = true;
    else
        events.matchInstalled = true;
    return 0;
}

int onPrepareForSleep(sd_bus_message* signal, void* userdata, sd_bus_error*) {
    // The bus vouches for the sender only of broadcasts it routed through our
    // match; a signal addressed to us could come from anyone.
    if (sd_bus_message_get_destination(signal))
        return 0;
    int sleeping = 0;
    if (sd_bus_message_read(signal, "b", &sleeping) < 0 || sleeping)
        return 0;
    ++static_cast<ConnectionEvents*>(userdata)->wakes;
    return 0;
}

}  // namespace

void LogindWakeWatcher::State::run(const dbus::StopSignal& stop) {
    while (!stop.raised()) {
        dbus::BusPtr bus;
        if (dbus::open(dbus::Bus::System, options.busAddress, kCallLimit, bus) >= 0)
            follow(bus.get(), stop);
        following = false;
        if (stop.waitFor(options.retryInterval))
            return;
    }
}

// Serves one connection until it is lost, the match is refused or the
// watcher stops. Observers are called between two rounds of processing, not
// from within sd-bus.
void LogindWakeWatcher::State::follow(sd_bus* bus, const dbus::StopSignal& stop) {
    ConnectionEvents events;
    // A floating match: it belongs to the connection and goes with it.
    if (sd_bus_match_signal_async(bus, nullptr, kLogind, kManagerPath, kManagerInterface,
                                  kPrepareForSleep, onPrepareForSleep, onMatchInstalled,
                                  &events) < 0) {
        return;
    }
    dbus::serve(bus, stop, [&] {
        if (events.matchFailed)
            return false;
        following = events.matchInstalled;
        for (; events.wakes > 0 && !stop.raised(); --events.wakes)
            onWake();
        return true;
    });
}

LogindWakeWatcher::LogindWakeWatcher(Options options, std::function<void()> onWake)
    : state_(std::make_shared<State>()) {
    state_->options = std::move(options);
    state_->onWake = std::move(onWake);
    // Without a thread (no eventfd to stop it promptly, or no thread at all)
    // wake-ups are not followed.
    thread_.start([state = state_](const dbus::StopSignal& stop) { state->run(stop); });
}

LogindWakeWatcher::~LogindWakeWatcher() {
    thread_.stop();
}

bool LogindWakeWatcher::following() const {
    return state_->following;
}

}  // namespace ostrovane::platform::logind
