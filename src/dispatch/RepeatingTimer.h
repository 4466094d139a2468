#pragma once

#include <functional>
#include <memory>

#include "dispatch/Clock.h"
#include "dispatch/SerialQueue.h"

namespace ostrovane::dispatch {

// A timer that runs its handler on a queue every `interval`, the first time
// after `firstDelay`. `leeway` is how late a tick may come; the system clock
// may use it to coalesce wake-ups. Ticks are paced from the schedule, not from
// when the handler ran; ticks missed while the clock was stalled are skipped.
//
// cancel() (and the destructor) guarantee that no tick starts afterwards; a
// tick already running on the queue finishes.
class RepeatingTimer {
  public:
    RepeatingTimer(SerialQueue& queue, Duration interval, Duration leeway,
                   std::function<void()> handler);
    ~RepeatingTimer();

    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    void start(Duration firstDelay);
    void start() { start(interval()); }
    void cancel();

    Duration interval() const;
    Duration leeway() const;
    bool isRunning() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace ostrovane::dispatch
