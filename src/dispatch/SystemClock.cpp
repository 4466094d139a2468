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
        std::lock_guard lock(mutex_);
        id = _nextId++;
        _timers.emplace(Key{deadline, id}, std::move(fire));
        _deadlines.emplace(id, deadline);
    }
    wake_.notify_all();
    return id;
}

bool SystemClock::cancel(TimerId id) {
    std::lock_guard lock(mutex_);
    auto it = _deadlines.find(id);
    if (it == _deadlines.end())
        return false;
    _timers.erase(Key{it->second, id});
    _deadlines.erase(it);
    return true;
}

bool SystemClock::sleepUntil(Duration deadline, std::stop_token stop) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    cv.wait_until(lock, stop, steadyPoint(deadline), [] { return false; });
    return !stop.stop_requested();
}

void SystemClock::timerLoop(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        if (_timers.empty()) {
            wake_.wait(lock, stop, [this] { return !_timers.empty(); });
            continue;
        }
        auto first = _timers.begin();
        const Key key = first->first;
        if (key.deadline <= uptime()) {
            auto fire = std::move(first->second);
            _timers.erase(first);
            _deadlines.erase(key.id);
            lock.unlock();
            fire();
            lock.lock();
            continue;
        }
        // Wakes early when a timer is added or removed in front of this one.
        wake_.wait_until(lock, stop, steadyPoint(key.deadline), [this, key] {
            return _timers.empty() || _timers.begin()->first.id != key.id;
        });
    }
}

}  // namespace ostrovane::dispatch
