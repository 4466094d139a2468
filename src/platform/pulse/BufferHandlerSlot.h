#pragma once

#include <memory>
#include <mutex>
#include <utility>

#include "dispatch/SerialQueue.h"
#include "platform/AudioCaptureSession.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pulse {

// An output's buffer handler and the queue it runs on.
class BufferHandlerSlot {
  public:
    void replace(SampleBufferHandler handler, dispatch::QueueRef queue) {
        auto shared = share(std::move(handler));
        util::MutexLock lock(mutex_);
        _handler = std::move(shared);
        _queue = std::move(queue);
    }

    // False, leaving the slot as it is, when it holds a handler already.
    bool fill(SampleBufferHandler handler, dispatch::QueueRef queue) {
        auto shared = share(std::move(handler));
        util::MutexLock lock(mutex_);
        if (_handler)
            return false;
        _handler = std::move(shared);
        _queue = std::move(queue);
        return true;
    }

    // False when it held none.
    bool clear() {
        util::MutexLock lock(mutex_);
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
        std::shared_ptr<const SampleBufferHandler> handler;
        dispatch::QueueRef queue;
        {
            util::MutexLock lock(mutex_);
            handler = _handler;
            queue = _queue;
        }
        if (handler)
            queue.runOrAsync([handler = std::move(handler), buffer] { (*handler)(buffer); });
    }

  private:
    // Shared, so that a buffer on its way costs a reference, not a copy.
    static std::shared_ptr<const SampleBufferHandler> share(SampleBufferHandler handler) {
        if (!handler)
            return nullptr;
        return std::make_shared<const SampleBufferHandler>(std::move(handler));
    }

    util::Mutex mutex_;
    std::shared_ptr<const SampleBufferHandler> _handler GUARDED_BY(mutex_);
    dispatch::QueueRef _queue GUARDED_BY(mutex_);
};

}  // namespace ostrovane::platform::pulse
