#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pulse {

// The point after which a capture output receives nothing more. Buffers pass
// outside the gate's lock, because a handler may run right on the delivering
// thread (the sound server's client thread, when its queue is idle) and may
// itself close the gate. Closing waits for a buffer that is passing on
// another thread, so that once close() returns no handler runs any more.
class DeliveryGate {
  public:
    void open() {
        util::MutexLock lock(mutex_);
        _open = true;
    }

    void close() {
        util::MutexLock lock(mutex_);
        _open = false;
        waitLocked(lock);
    }

    // Waits until no buffer passes, except one passing on the calling
    // thread: that is the closer's own caller.
    void waitForPassing() {
        util::MutexLock lock(mutex_);
        waitLocked(lock);
    }

    // Runs `pass` when the gate is open; false when it is closed.
    template <typename Pass>
    bool pass(Pass&& pass) {
        {
            util::MutexLock lock(mutex_);
            if (!_open)
                return false;
            ++_passing;
            _passer = std::this_thread::get_id();
        }
        std::forward<Pass>(pass)();
        {
            util::MutexLock lock(mutex_);
            if (--_passing == 0)
                passed_.notify_all();
        }
        return true;
    }

  private:
    void waitLocked(util::MutexLock& lock) REQUIRES(mutex_) {
        lock.wait(passed_, [&]() REQUIRES(mutex_) {
            return _passing == 0 || _passer == std::this_thread::get_id();
        });
    }

    util::Mutex mutex_;
    std::condition_variable passed_;
    bool _open GUARDED_BY(mutex_) = false;
    int _passing GUARDED_BY(mutex_) = 0;
    std::thread::id _passer GUARDED_BY(mutex_);  // the thread buffers pass on
};

}  // namespace ostrovane::platform::pulse
