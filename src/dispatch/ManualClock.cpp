#include "dispatch/ManualClock.h"

#include <stdexcept>
#include <string>

namespace ostrovane::dispatch {

ManualClock::ManualClock(double wallStart, std::chrono::milliseconds settleLimit)
    : wallStart_(wallStart), settleLimit_(settleLimit) {}

ManualClock::~ManualClock() = default;

double ManualClock::wallTime() const {
    std::lock_guard lock(mutex_);
    return wallStart_ + toSeconds(_now);
}

Duration ManualClock::uptime() const {
    std::lock_guard lock(mutex_);
    return _now;
}

TimerId ManualClock::schedule(Duration deadline, std::function<void()> fire) {
    std::lock_guard lock(mutex_);
    const TimerId id = _nextId++;
    _timers.emplace(Key{deadline, id}, std::move(fire));
    _deadlines.emplace(id, deadline);
    return id;
}

bool ManualClock::cancel(TimerId id) {
    std::lock_guard lock(mutex_);
    auto it = _deadlines.find(id);
    if (it == _deadlines.end())
        return false;
    _timers.erase(Key{it->second, id});
    _deadlines.erase(it);
    return true;
}

bool ManualClock::sleepUntil(Duration deadline, std::stop_token stop) {
    std::unique_lock lock(mutex_);
    if (stop.stop_requested())
        return false;
    if (deadline <= _now)
        return true;
    Sleeper sleeper;
    const Key key{deadline, _nextId++};
    _sleepers.emplace(key, &sleeper);
    // Asleep is idle; whoever wakes us counts us busy again.
    --_busy;
    changed_.notify_all();
    changed_.wait(lock, stop, [&sleeper] { return sleeper.woken; });
    if (!sleeper.woken) {
        _sleepers.erase(key);
        ++_busy;
        return false;
    }
    return true;
}

void ManualClock::beginActivity() noexcept {
    std::lock_guard lock(mutex_);
    ++_busy;
}

void ManualClock::endActivity() noexcept {
    {
        std::lock_guard lock(mutex_);
        --_busy;
    }
    changed_.notify_all();
}

void ManualClock::settleLocked(std::unique_lock<std::mutex>& lock) {
    if (!changed_.wait_for(lock, settleLimit_, [this] { return _busy <= 0; })) {
        throw std::runtime_error("ManualClock: work did not settle within " +
                                 std::to_string(settleLimit_.count()) +
                                 " ms (something blocks instead of scheduling)");
    }
}

void ManualClock::settle() {
    std::unique_lock lock(mutex_);
    settleLocked(lock);
}

void ManualClock::advance(Duration d) {
    std::unique_lock lock(mutex_);
    const Duration target = _now + d;
    for (;;) {
        settleLocked(lock);
        auto timer = _timers.begin();
        auto sleeper = _sleepers.begin();
        const bool timerDue = timer != _timers.end() && timer->first.deadline <= target;
        const bool sleeperDue = sleeper != _sleepers.end() && sleeper->first.deadline <= target;
        if (!timerDue && !sleeperDue)
            break;
        if (timerDue && (!sleeperDue || timer->first < sleeper->first)) {
            if (timer->first.deadline > _now)
                _now = timer->first.deadline;
            auto fire = std::move(timer->second);
            _deadlines.erase(timer->first.id);
            _timers.erase(timer);
            lock.unlock();
            fire();
            lock.lock();
        } else {
            if (sleeper->first.deadline > _now)
                _now = sleeper->first.deadline;
            sleeper->second->woken = true;
            ++_busy;
            _sleepers.erase(sleeper);
            changed_.notify_all();
        }
    }
    if (target > _now)
        _now = target;
    settleLocked(lock);
}

std::size_t ManualClock::pendingTimers() const {
    std::lock_guard lock(mutex_);
    return _timers.size() + _sleepers.size();
}

}  // namespace ostrovane::dispatch
