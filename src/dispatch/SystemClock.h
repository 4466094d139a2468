#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "dispatch/Clock.h"
#include "dispatch/TimerTable.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::dispatch {

// Real time: wall time from the system clock, uptime from the steady clock,
// timers fired by one timer thread.
class SystemClock final : public Clock {
  public:
    SystemClock();
    ~SystemClock() override;

    double wallTime() const override;
    Duration uptime() const override;
    TimerId schedule(Duration deadline, std::function<void()> fire) override;
    bool cancel(TimerId id) override;
    bool sleepUntil(Duration deadline, std::stop_token stop) override;

  private:
    void timerLoop(std::stop_token stop);

    util::Mutex mutex_;
    std::condition_variable_any wake_;
    TimerTable _timers GUARDED_BY(mutex_);
    std::jthread thread_;  // last: started after the fields above exist
};

}  // namespace ostrovane::dispatch
