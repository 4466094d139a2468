#pragma once

#include <condition_variable>
#include <map>
#include <mutex>

#include "dispatch/Clock.h"
#include "dispatch/TimerTable.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::dispatch {

// A clock that only moves when a test tells it to. advance() fires due timers
// one at a time in deadline order and, before each step and at the end, waits
// until every queue and background task is idle, so that the work a timer
// triggers (and the timers that work schedules) happens at the right instant.
// An hour of scripted behaviour therefore runs in milliseconds.
class ManualClock final : public Clock {
  public:
    // `wallStart` is the wall time at uptime 0.
    explicit ManualClock(double wallStart = 1'700'000'000.0,
                         std::chrono::milliseconds settleLimit = std::chrono::seconds(20));
    ~ManualClock() override;

    double wallTime() const override;
    Duration uptime() const override;
    TimerId schedule(Duration deadline, std::function<void()> fire) override;
    bool cancel(TimerId id) override;
    bool sleepUntil(Duration deadline, std::stop_token stop) override;
    void beginActivity() noexcept override;
    void endActivity() noexcept override;

    // Moves time forward by `d`, firing everything that falls due on the way.
    void advance(Duration d);
    void advanceSeconds(double s) { advance(seconds(s)); }

    // Waits until no queue or background task has runnable work. Throws
    // std::runtime_error if that does not happen within the settle limit
    // (something blocks instead of scheduling).
    void settle();

    // Timers and sleepers waiting for a deadline.
    std::size_t pendingTimers() const;

  private:
    using Key = TimerTable::Key;
    struct Sleeper {
        bool woken = false;
    };

    void settleLocked(util::MutexLock& lock) REQUIRES(mutex_);

    const double wallStart_;
    const std::chrono::milliseconds settleLimit_;
    mutable util::Mutex mutex_;
    std::condition_variable_any changed_;
    Duration _now GUARDED_BY(mutex_){0};
    long _busy GUARDED_BY(mutex_) = 0;
    TimerTable _timers GUARDED_BY(mutex_);
    std::map<Key, Sleeper*> _sleepers
        GUARDED_BY(mutex_);  // background tasks asleep until a deadline
};

}  // namespace ostrovane::dispatch
