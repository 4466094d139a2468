#pragma once

#include <memory>
#include <mutex>
#include <utility>

#include "dispatch/SerialQueue.h"
#include "platform/AudioCaptureSession.h"

namespace ostrovane::platform::pulse {

// An output's buffer handler and the queue it runs on.
class BufferHandlerSlot {
  public:
    void replace(SampleBufferHandler handler, dispatch::QueueRef queue) {
        std::lock_guard lock(mutex_);
        _handler = std::move(handler);
        _queue = std::move(queue);
    }

    // False, leaving the slot as it is, when it holds a handler already.
    bool fill(SampleBufferHandler handler, dispatch::QueueRef queue) {
        std::lock_guard lock(mutex_);
        if (_handler)
            return false;
        _handler = std::move(handler);
        _queue = std::move(queue);
        return true;
    }

    // False when it held none.
    bool clear() {
        std::lock_guard lock(mutex_);
        if (!_handler)
            return false;
        _handler = nullptr;
        _queue = {};
        return true;
    }

    // Runs the handler as a task of its queue: right on the calling thread
    // while the queue is idle, which saves two thread switches per buffer,
    // and posted to it otherwise. Outside the lock, since the handler may
    // replace itself.
    void deliver(const std::shared_ptr<const SampleBuffer>& buffer) {
        SampleBufferHandler handler;
        dispatch::QueueRef queue;
        {
            std::lock_guard lock(mutex_);
            handler = _handler;
            queue = _queue;
        }
        if (handler)
            queue.runOrAsync([handler = std::move(handler), buffer] { handler(buffer); });
    }

  private:
    std::mutex mutex_;
    SampleBufferHandler _handler;  // guarded by mutex_
    dispatch::QueueRef _queue;     // guarded by mutex_
};

}  // namespace ostrovane::platform::pulse
