#include "dispatch/RepeatingTimer.h"

#include <mutex>

#include "util/ThreadAnnotations.h"

namespace ostrovane::dispatch {

struct RepeatingTimer::State : std::enable_shared_from_this<State> {
    State(SerialQueue& q, Duration i, Duration l, std::function<void()> h)
        : clock(q.clock()), queue(q.ref()), interval(i), leeway(l), handler(std::move(h)) {}

    Clock& clock;
    const QueueRef queue;
    const Duration interval;
    const Duration leeway;
    const std::function<void()> handler;

    util::Mutex mutex;
    bool _running GUARDED_BY(mutex) = false;
    std::uint64_t _generation GUARDED_BY(mutex) = 0;  // bumped by every start and cancel
    TimerId _timer GUARDED_BY(mutex) = 0;
    Duration _next GUARDED_BY(mutex){0};

    void armLocked(std::uint64_t generation) REQUIRES(mutex) {
        _timer = clock.schedule(_next, [weak = weak_from_this(), generation] {
            if (auto self = weak.lock())
                self->fire(generation);
        });
    }

    bool currentLocked(std::uint64_t generation) const REQUIRES(mutex) {
        return _running && generation == _generation;
    }

    void fire(std::uint64_t generation) {
        {
            util::MutexLock lock(mutex);
            if (!currentLocked(generation))
                return;
            // Pace from the schedule; skip ticks that a stalled clock missed.
            const Duration now = clock.uptime();
            _next += interval;
            while (_next <= now)
                _next += interval;
            armLocked(generation);
        }
        queue.async([weak = weak_from_this(), generation] {
            auto self = weak.lock();
            if (!self)
                return;
            {
                util::MutexLock lock(self->mutex);
                if (!self->currentLocked(generation))
                    return;
            }
            self->handler();
        });
    }

    void cancel() {
        TimerId pending = 0;
        {
            util::MutexLock lock(mutex);
            _running = false;
            ++_generation;
            pending = _timer;
            _timer = 0;
        }
        if (pending != 0)
            clock.cancel(pending);
    }
};

RepeatingTimer::RepeatingTimer(SerialQueue& queue, Duration interval, Duration leeway,
                               std::function<void()> handler)
    : state_(std::make_shared<State>(queue, interval, leeway, std::move(handler))) {}

RepeatingTimer::~RepeatingTimer() {
    state_->cancel();
}

void RepeatingTimer::start(Duration firstDelay) {
    state_->cancel();
    util::MutexLock lock(state_->mutex);
    state_->_running = true;
    state_->_next = state_->clock.uptime() + firstDelay;
    state_->armLocked(state_->_generation);
}

void RepeatingTimer::cancel() {
    state_->cancel();
}

Duration RepeatingTimer::interval() const {
    return state_->interval;
}

Duration RepeatingTimer::leeway() const {
    return state_->leeway;
}

bool RepeatingTimer::isRunning() const {
    util::MutexLock lock(state_->mutex);
    return state_->_running;
}

}  // namespace ostrovane::dispatch
