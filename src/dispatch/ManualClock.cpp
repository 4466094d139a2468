#include "dispatch/ManualClock.h"

#include <stdexcept>
#include <string>

namespace ostrovane::dispatch {

ManualClock::ManualClock(double wallStart, std::chrono::milliseconds settleLimit)
    : wallStart_(wallStart), settleLimit_(settleLimit) {}

ManualClock::~ManualClock() = default;

double ManualClock::wallTime() const {
    util::MutexLock lock(mutex_);
    return wallStart_ + toSeconds(_now);
}

Duration ManualClock::uptime() const {
    util::MutexLock lock(mutex_);
    return _now;
}

TimerId ManualClock::schedule(Duration deadline, std::function<void()> fire) {
    util::MutexLock lock(mutex_);
    return _timers.add(deadline, std::move(fire));
}

bool ManualClock::cancel(TimerId id) {
    util::MutexLock lock(mutex_);
    return _timers.remove(id);
}

bool ManualClock::sleepUntil(Duration deadline, std::stop_token stop) {
    util::MutexLock lock(mutex_);
    if (stop.stop_requested())
        return false;
    if (deadline <= _now)
        return true;
    Sleeper sleeper;
    const Key key{deadline, _timers.allocateId()};
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
    util::MutexLock lock(mutex_);
    ++_busy;
}

void ManualClock::endActivity() noexcept {
    {
        util::MutexLock lock(mutex_);
        --_busy;
    }
    changed_.notify_all();
}

void ManualClock::settleLocked(util::MutexLock& lock) {
    if (!changed_.wait_for(lock, settleLimit_, [this]() REQUIRES(mutex_) { return _busy <= 0; })) {
        throw std::runtime_error("ManualClock: work did not settle within " +
                                 std::to_string(settleLimit_.count()) +
                                 " ms (something blocks instead of scheduling)");
    }
}

void ManualClock::settle() {
    util::MutexLock lock(mutex_);
    settleLocked(lock);
}

void ManualClock::advance(Duration d) {
    util::MutexLock lock(mutex_);
    const Duration target = _now + d;
    for (;;) {
        settleLocked(lock);
        const auto timer = _timers.earliest();
        auto sleeper = _sleepers.begin();
        const bool timerDue = timer && timer->deadline <= target;
        const bool sleeperDue = sleeper != _sleepers.end() && sleeper->first.deadline <= target;
        if (!timerDue && !sleeperDue)
            break;
        if (timerDue && (!sleeperDue || *timer < sleeper->first)) {
            if (timer->deadline > _now)
                _now = timer->deadline;
            auto fire = _timers.takeEarliest();
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
    util::MutexLock lock(mutex_);
    return _timers.size() + _sleepers.size();
}

}  // namespace ostrovane::dispatch
