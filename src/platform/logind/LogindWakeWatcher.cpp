#include "platform/logind/LogindWakeWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include "util/UniqueFd.h"

namespace ostrovane::platform::logind {

namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManagerInterface = "org.freedesktop.login1.Manager";
constexpr const char* kPrepareForSleep = "PrepareForSleep";

// The longest single poll, and the bound of every call on the bus (the match
// installation): a bus that stops answering is given up and connected again.
constexpr int kLongestPollMs = 5000;
constexpr std::uint64_t kCallTimeoutUsec = 5'000'000;

// Closes a connection. Only a running connection is flushed: flushing one
// that is still authenticating would first wait for the authentication.
struct BusCloser {
    void operator()(sd_bus* bus) const {
        if (sd_bus_is_ready(bus) > 0)
            sd_bus_flush_close_unref(bus);
        else
            sd_bus_close_unref(bus);
    }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;

// Milliseconds from now until an absolute CLOCK_MONOTONIC time in
// microseconds as sd-bus hands it out (UINT64_MAX: none), within
// [0, kLongestPollMs].
int pollTimeoutMs(std::uint64_t untilUsec) {
    if (untilUsec == UINT64_MAX)
        return kLongestPollMs;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                                  static_cast<std::uint64_t>(now.tv_nsec) / 1000;
    if (untilUsec <= nowUsec)
        return 0;
    const std::uint64_t ms = (untilUsec - nowUsec + 999) / 1000;
    return static_cast<int>(std::min<std::uint64_t>(ms, kLongestPollMs));
}

// A started connection (authentication and Hello still under way), or none.
BusPtr connect(const std::string& address) {
    sd_bus* raw = nullptr;
    if (address.empty()) {
        if (sd_bus_open_system(&raw) < 0)
            return nullptr;
        BusPtr bus(raw);
        sd_bus_set_method_call_timeout(raw, kCallTimeoutUsec);
        return bus;
    }
    if (sd_bus_new(&raw) < 0)
        return nullptr;
    BusPtr bus(raw);
    if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
        sd_bus_set_method_call_timeout(raw, kCallTimeoutUsec) < 0 || sd_bus_start(raw) < 0) {
        return nullptr;
    }
    return bus;
}

}  // namespace

struct LogindWakeWatcher::State {
    Options options;
    std::function<void()> onWake;
    UniqueFd stop;  // an eventfd, readable once the watcher is being destroyed
    std::atomic<bool> stopping{false};
    std::atomic<bool> following{false};

    // Waits up to `interval` for the stop; whether it came.
    bool waitForStop(std::chrono::milliseconds interval) const {
        pollfd p{stop.get(), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(interval.count())) < 0 && errno != EINTR)
            return stopping;
        return stopping || (p.revents & POLLIN);
    }
    void run();
    void follow(sd_bus* bus);
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

void LogindWakeWatcher::State::run() {
    while (!stopping) {
        if (BusPtr bus = connect(options.busAddress))
            follow(bus.get());
        following = false;
        if (waitForStop(options.retryInterval))
            return;
    }
}

// Serves one connection until it is lost, the match is refused or the
// watcher stops. Observers are called between two rounds of processing, not
// from within sd-bus.
void LogindWakeWatcher::State::follow(sd_bus* bus) {
    ConnectionEvents events;
    // A floating match: it belongs to the connection and goes with it.
    if (sd_bus_match_signal_async(bus, nullptr, kLogind, kManagerPath, kManagerInterface,
                                  kPrepareForSleep, onPrepareForSleep, onMatchInstalled,
                                  &events) < 0) {
        return;
    }
    for (;;) {
        int r = 0;
        while (!stopping && (r = sd_bus_process(bus, nullptr)) > 0) {
        }
        if (r < 0 || stopping || events.matchFailed)
            return;
        following = events.matchInstalled;
        for (; events.wakes > 0 && !stopping; --events.wakes)
            onWake();

        const int fd = sd_bus_get_fd(bus);
        const int wanted = sd_bus_get_events(bus);
        std::uint64_t untilUsec = 0;
        if (fd < 0 || wanted < 0 || sd_bus_get_timeout(bus, &untilUsec) < 0)
            return;
        pollfd fds[2] = {{fd, static_cast<short>(wanted), 0}, {stop.get(), POLLIN, 0}};
        if (poll(fds, 2, pollTimeoutMs(untilUsec)) < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN)
            return;
    }
}

LogindWakeWatcher::LogindWakeWatcher(Options options, std::function<void()> onWake)
    : state_(std::make_shared<State>()) {
    state_->options = std::move(options);
    state_->onWake = std::move(onWake);
    state_->stop.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    // Without an eventfd the thread could not be stopped promptly; wake-ups
    // are then not followed at all.
    if (state_->stop)
        thread_ = std::thread([state = state_] { state->run(); });
}

LogindWakeWatcher::~LogindWakeWatcher() {
    if (!thread_.joinable())
        return;
    state_->stopping = true;
    const std::uint64_t one = 1;
    const ssize_t written = ::write(state_->stop.get(), &one, sizeof one);
    (void)written;  // an eventfd counter that cannot overflow after one write
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

bool LogindWakeWatcher::following() const {
    return state_->following;
}

}  // namespace ostrovane::platform::logind
