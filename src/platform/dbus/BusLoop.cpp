#include "platform/dbus/BusLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace ostrovane::platform::dbus {

namespace {

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

StopSignal::StopSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void StopSignal::raise() {
    raised_ = true;
    const std::uint64_t one = 1;
    const ssize_t written = ::write(fd_.get(), &one, sizeof one);
    (void)written;  // an eventfd counter that cannot overflow after one write
}

bool StopSignal::waitFor(std::chrono::milliseconds interval) const {
    pollfd p{fd_.get(), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(interval.count())) < 0 && errno != EINTR)
        return raised_;
    return raised_ || (p.revents & POLLIN);
}

LoopEnd serve(sd_bus* bus, const StopSignal& stop, const std::function<bool()>& afterRound) {
    for (;;) {
        int r = 0;
        do {
            if (stop.raised())
                return LoopEnd::Stopped;
            if ((r = sd_bus_process(bus, nullptr)) < 0)
                return LoopEnd::Lost;
            if (!afterRound())
                return LoopEnd::Done;
        } while (r > 0);

        const int fd = sd_bus_get_fd(bus);
        const int wanted = sd_bus_get_events(bus);
        std::uint64_t untilUsec = 0;
        if (fd < 0 || wanted < 0 || sd_bus_get_timeout(bus, &untilUsec) < 0)
            return LoopEnd::Lost;
        pollfd fds[2] = {{fd, static_cast<short>(wanted), 0}, {stop.fd(), POLLIN, 0}};
        if (poll(fds, 2, pollTimeoutMs(untilUsec)) < 0 && errno != EINTR)
            return LoopEnd::Lost;
        if (fds[1].revents & POLLIN)
            return LoopEnd::Stopped;
    }
}

std::string LoopThread::start(std::function<void(const StopSignal&)> body) {
    stop_ = std::make_shared<StopSignal>();
    if (!stop_->valid())
        return std::strerror(errno);
    try {
        thread_ = std::thread([stop = stop_, body = std::move(body)] { body(*stop); });
    } catch (const std::system_error& error) {
        return error.what();
    }
    return {};
}

void LoopThread::stop() {
    if (!thread_.joinable())
        return;
    stop_->raise();
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

}  // namespace ostrovane::platform::dbus
