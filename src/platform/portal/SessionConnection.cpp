#include "platform/portal/SessionConnection.h"

#include "platform/portal/PortalErrors.h"

namespace ostrovane::platform::portal {

Result<dbus::BusPtr> connectSessionBus(const std::string& address,
                                       std::chrono::milliseconds limit) {
    auto bus = dbus::connect(address, limit);
    if (!bus.ok())
        return portalUnavailable(bus.error().message);
    return bus;
}

struct SessionConnection::State {
    dbus::BusPtr bus;
    dbus::SlotPtr closedMatch;  // released before the connection
    std::function<void(const Error&)> onClosed;
    bool closed = false;  // the portal's Session.Closed came

    static int onSessionClosed(sd_bus_message*, void* userdata, sd_bus_error*) {
        static_cast<State*>(userdata)->closed = true;
        return 0;
    }
    void run(const dbus::StopSignal& stop);
};

// Serves the connection until the portal closes the session, the bus goes
// away (either reported) or the session stops.
void SessionConnection::State::run(const dbus::StopSignal& stop) {
    const dbus::LoopEnd end = dbus::serve(bus.get(), stop, [this] { return !closed; });
    if (end == dbus::LoopEnd::Stopped || stop.raised() || !onClosed)
        return;
    onClosed(end == dbus::LoopEnd::Done ? sessionClosedError() : busLostSessionEnded());
}

SessionConnection::SessionConnection(dbus::BusPtr bus, std::function<void(const Error&)> onClosed)
    : state_(std::make_shared<State>()) {
    state_->bus = std::move(bus);
    state_->onClosed = std::move(onClosed);
}

SessionConnection::~SessionConnection() {
    stop();
}

sd_bus* SessionConnection::bus() const {
    return state_->bus.get();
}

bool SessionConnection::closed() const {
    return state_->closed;
}

bool SessionConnection::followClosed(const std::string& portal, const std::string& session) {
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(bus(), &slot, portal.c_str(), session.c_str(),
                            "org.freedesktop.portal.Session", "Closed", &State::onSessionClosed,
                            state_.get()) < 0) {
        return false;
    }
    state_->closedMatch.reset(slot);
    return true;
}

MaybeError SessionConnection::serve() {
    // The thread holds the state: an observer that destroys the session
    // returns into a thread whose state is still there.
    const std::string failed =
        thread_.start([state = state_](const dbus::StopSignal& stop) { state->run(stop); });
    if (!failed.empty())
        return portalFailed("Cannot follow the session: " + failed);
    return std::nullopt;
}

void SessionConnection::stop() {
    thread_.stop();
}

}  // namespace ostrovane::platform::portal
