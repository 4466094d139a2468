#include "platform/portal/SessionConnection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/portal/PortalErrors.h"
#include "util/UniqueFd.h"

namespace ostrovane::platform::portal {

namespace {

// The longest single poll; the thread wakes earlier for the bus and the stop.
constexpr int kLongestPollMs = 5000;

// Milliseconds until an absolute CLOCK_MONOTONIC time in microseconds as
// sd-bus hands it out (UINT64_MAX: none), within [0, kLongestPollMs].
int pollTimeoutMs(std::uint64_t untilUsec) {
    if (untilUsec == UINT64_MAX)
        return kLongestPollMs;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                                  static_cast<std::uint64_t>(now.tv_nsec) / 1000;
    if (untilUsec <= nowUsec)
        return 0;
    return static_cast<int>(
        std::min<std::uint64_t>((untilUsec - nowUsec + 999) / 1000, kLongestPollMs));
}

}  // namespace

struct SessionConnection::State {
    sdbus::BusPtr bus;
    sdbus::SlotPtr closedMatch;  // released before the connection
    std::function<void(const Error&)> onClosed;
    UniqueFd wake;  // an eventfd, readable once the session stops
    std::atomic<bool> stopping{false};
    bool closed = false;  // the portal's Session.Closed came

    static int onSessionClosed(sd_bus_message*, void* userdata, sd_bus_error*) {
        static_cast<State*>(userdata)->closed = true;
        return 0;
    }
    void report(const Error& error) {
        if (!stopping && onClosed)
            onClosed(error);
    }
    void run();
};

// Serves the connection until the portal closes the session, the bus goes
// away (either reported) or the session stops.
void SessionConnection::State::run() {
    for (;;) {
        int r = 0;
        while (!stopping && !closed && (r = sd_bus_process(bus.get(), nullptr)) > 0) {
        }
        if (stopping)
            return;
        if (closed)
            return report(wayland::sessionClosedError());
        if (r < 0)
            return report(busLostSessionEnded());

        const int fd = sd_bus_get_fd(bus.get());
        const int wanted = sd_bus_get_events(bus.get());
        std::uint64_t untilUsec = 0;
        if (fd < 0 || wanted < 0 || sd_bus_get_timeout(bus.get(), &untilUsec) < 0)
            return report(busLostSessionEnded());
        pollfd fds[2] = {{fd, static_cast<short>(wanted), 0}, {wake.get(), POLLIN, 0}};
        if (poll(fds, 2, pollTimeoutMs(untilUsec)) < 0 && errno != EINTR)
            return report(busLostSessionEnded());
        if (fds[1].revents & POLLIN)
            return;
    }
}

SessionConnection::SessionConnection(sdbus::BusPtr bus, std::function<void(const Error&)> onClosed)
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
    state_->wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!state_->wake)
        return portalFailed(std::string("Cannot follow the session: ") + std::strerror(errno));
    try {
        // The thread holds the state: an observer that destroys the session
        // returns into a thread whose state is still there.
        thread_ = std::thread([state = state_] { state->run(); });
    } catch (const std::system_error& error) {
        return portalFailed(std::string("Cannot follow the session: ") + error.what());
    }
    return std::nullopt;
}

void SessionConnection::stop() {
    if (!thread_.joinable())
        return;
    state_->stopping = true;
    const std::uint64_t one = 1;
    const ssize_t written = ::write(state_->wake.get(), &one, sizeof one);
    (void)written;  // an eventfd counter that cannot overflow after one write
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

}  // namespace ostrovane::platform::portal
