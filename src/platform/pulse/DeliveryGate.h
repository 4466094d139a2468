#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace ostrovane::platform::pulse {

// The point after which a capture output receives nothing more. Buffers pass
// outside the gate's lock, because a handler may run right on the delivering
// thread (the sound server's client thread, when its queue is idle) and may
// itself close the gate. Closing waits for a buffer that is passing on
// another thread, so that once close() returns no handler runs any more.
class DeliveryGate {
  public:
    void open() {
        std::lock_guard lock(mutex_);
        _open = true;
    }

    void close() {
        std::unique_lock lock(mutex_);
        _open = false;
        waitLocked(lock);
    }

    // Waits until no buffer passes, except one passing on the calling
    // thread: that is the closer's own caller.
    void waitForPassing() {
        std::unique_lock lock(mutex_);
        waitLocked(lock);
    }

    // Runs `pass` when the gate is open; false when it is closed.
    template <typename Pass>
    bool pass(Pass&& pass) {
        {
            std::lock_guard lock(mutex_);
            if (!_open)
                return false;
            ++_passing;
            _passer = std::this_thread::get_id();
        }
        std::forward<Pass>(pass)();
        {
            std::lock_guard lock(mutex_);
            if (--_passing == 0)
                passed_.notify_all();
        }
        return true;
    }

  private:
    void waitLocked(std::unique_lock<std::mutex>& lock) {
        passed_.wait(lock, [&] { return _passing == 0 || _passer == std::this_thread::get_id(); });
    }

    std::mutex mutex_;
    std::condition_variable passed_;
    bool _open = false;       // guarded by mutex_
    int _passing = 0;         // guarded by mutex_
    std::thread::id _passer;  // guarded by mutex_; the thread buffers pass on
};

}  // namespace ostrovane::platform::pulse
