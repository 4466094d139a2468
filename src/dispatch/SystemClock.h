#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "dispatch/Clock.h"

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

    struct Key {
        Duration deadline;
        TimerId id;
        bool operator<(const Key& o) const {
            return deadline != o.deadline ? deadline < o.deadline : id < o.id;
        }
    };

    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::map<Key, std::function<void()>> _timers;
    std::map<TimerId, Duration> _deadlines;
    TimerId _nextId = 1;
    std::jthread thread_;  // last: started after the fields above exist
};

}  // namespace ostrovane::dispatch
