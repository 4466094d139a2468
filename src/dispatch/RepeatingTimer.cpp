#include "dispatch/RepeatingTimer.h"

#include <mutex>

namespace ostrovane::dispatch {

struct RepeatingTimer::State : std::enable_shared_from_this<State> {
    State(SerialQueue& q, Duration i, Duration l, std::function<void()> h)
        : clock(q.clock()), queue(q.ref()), interval(i), leeway(l), handler(std::move(h)) {}

    Clock& clock;
    const QueueRef queue;
    const Duration interval;
    const Duration leeway;
    const std::function<void()> handler;

    std::mutex mutex;
    bool _running = false;          // guarded by mutex
    std::uint64_t _generation = 0;  // guarded by mutex; bumped by every start and cancel
    TimerId _timer = 0;             // guarded by mutex
    Duration _next{0};              // guarded by mutex

    void armLocked(std::uint64_t generation) {
        _timer = clock.schedule(_next, [weak = weak_from_this(), generation] {
            if (auto self = weak.lock())
                self->fire(generation);
        });
    }

    bool currentLocked(std::uint64_t generation) const {
        return _running && generation == _generation;
    }

    void fire(std::uint64_t generation) {
        {
            std::lock_guard lock(mutex);
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
                std::lock_guard lock(self->mutex);
                if (!self->currentLocked(generation))
                    return;
            }
            self->handler();
        });
    }

    void cancel() {
        TimerId pending = 0;
        {
            std::lock_guard lock(mutex);
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
    std::lock_guard lock(state_->mutex);
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
    std::lock_guard lock(state_->mutex);
    return state_->_running;
}

}  // namespace ostrovane::dispatch
