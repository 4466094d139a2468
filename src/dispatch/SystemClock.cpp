#include "dispatch/SystemClock.h"

namespace ostrovane::dispatch {

namespace {
using Steady = std::chrono::steady_clock;

Steady::time_point steadyPoint(Duration uptime) {
    return Steady::time_point(std::chrono::duration_cast<Steady::duration>(uptime));
}
}  // namespace

SystemClock::SystemClock() : thread_([this](std::stop_token stop) { timerLoop(stop); }) {}

SystemClock::~SystemClock() {
    thread_.request_stop();
    wake_.notify_all();
}

double SystemClock::wallTime() const {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The steady clock counts from boot on Linux, which is the uptime the
// microphone subsystem reports.
Duration SystemClock::uptime() const {
    return std::chrono::duration_cast<Duration>(Steady::now().time_since_epoch());
}

TimerId SystemClock::schedule(Duration deadline, std::function<void()> fire) {
    TimerId id;
    {
        util::MutexLock lock(mutex_);
        id = _timers.add(deadline, std::move(fire));
    }
    wake_.notify_all();
    return id;
}

bool SystemClock::cancel(TimerId id) {
    util::MutexLock lock(mutex_);
    return _timers.remove(id);
}

bool SystemClock::sleepUntil(Duration deadline, std::stop_token stop) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    cv.wait_until(lock, stop, steadyPoint(deadline), [] { return false; });
    return !stop.stop_requested();
}

void SystemClock::timerLoop(std::stop_token stop) {
    util::MutexLock lock(mutex_);
    while (!stop.stop_requested()) {
        const auto first = _timers.earliest();
        if (!first) {
            wake_.wait(lock, stop, [this]() REQUIRES(mutex_) { return _timers.size() > 0; });
            continue;
        }
        if (first->deadline <= uptime()) {
            auto fire = _timers.takeEarliest();
            lock.unlock();
            fire();
            lock.lock();
            continue;
        }
        // Wakes early when a timer is added or removed in front of this one.
        wake_.wait_until(lock, stop, steadyPoint(first->deadline),
                         [this, id = first->id]() REQUIRES(mutex_) {
                             const auto now = _timers.earliest();
                             return !now || now->id != id;
                         });
    }
}

}  // namespace ostrovane::dispatch
