#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "platform/pulse/PulseHandles.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pulse {

// The wait for one server operation, the one way the provider waits for
// one: the operation's callback, on the main loop's thread, sets the answer;
// the caller waits at most its deadline and then cancels the operation under
// the main loop's lock, so that the callback cannot run once await() returns
// (what the callback gathered may then be read without a lock).
template <typename T>
class PulseAnswer {
  public:
    void set(T value) {
        {
            util::MutexLock lock(mutex_);
            _value = std::move(value);
        }
        answered_.notify_all();
    }

    // The answer to `operation`, issued with the main loop locked and the
    // lock released since; nothing when none came within `limit`.
    std::optional<T> await(pa_threaded_mainloop* loop, OperationPtr& operation,
                           std::chrono::milliseconds limit) {
        std::optional<T> value;
        {
            util::MutexLock lock(mutex_);
            lock.waitFor(answered_, limit, [&]() REQUIRES(mutex_) { return _value.has_value(); });
            value = _value;
        }
        MainloopLock lock(loop);
        operation.reset();
        return value;
    }

  private:
    util::Mutex mutex_;
    std::condition_variable answered_;
    std::optional<T> _value GUARDED_BY(mutex_);
};

}  // namespace ostrovane::platform::pulse
