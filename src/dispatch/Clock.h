#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <stop_token>

namespace ostrovane::dispatch {

// Monotonic durations and deadlines are nanoseconds of the clock's uptime.
using Duration = std::chrono::nanoseconds;

using TimerId = std::uint64_t;

constexpr Duration seconds(double s) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}
constexpr Duration milliseconds(std::int64_t ms) {
    return std::chrono::milliseconds(ms);
}
constexpr double toSeconds(Duration d) {
    return std::chrono::duration<double>(d).count();
}

// The time domain of the helper: wall-clock timestamps, monotonic uptime and
// deadline callbacks. Every timer, delayed job and periodic loop in the system
// goes through one Clock, so tests can substitute a ManualClock and step time
// instead of sleeping.
//
// A Clock must outlive every queue, timer and task created on it.
class Clock {
  public:
    virtual ~Clock() = default;

    // Seconds since 1970-01-01 00:00:00 UTC.
    virtual double wallTime() const = 0;

    // Monotonic time since an arbitrary origin; never goes backwards.
    virtual Duration uptime() const = 0;
    double uptimeSeconds() const { return toSeconds(uptime()); }

    // Calls `fire` once, on a thread of the clock, when uptime() reaches
    // `deadline`. `fire` must be short: it normally posts work to a queue.
    virtual TimerId schedule(Duration deadline, std::function<void()> fire) = 0;

    // Removes a timer that has not fired yet. Returns false when it already
    // fired, is firing, or was never scheduled.
    virtual bool cancel(TimerId id) = 0;

    // Blocks a background task until uptime() reaches `deadline` or `stop` is
    // requested. Returns true when the deadline was reached. Only background
    // task bodies call this (see BackgroundTask); everything else schedules.
    virtual bool sleepUntil(Duration deadline, std::stop_token stop) = 0;

    // Work accounting. Queues and background tasks report when they hold
    // runnable work, so a manual clock can let the system settle between two
    // steps of time. The system clock ignores it.
    virtual void beginActivity() noexcept {}
    virtual void endActivity() noexcept {}
};

}  // namespace ostrovane::dispatch
