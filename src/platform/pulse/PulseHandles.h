#pragma once

#include <pulse/pulseaudio.h>

#include <memory>

namespace ostrovane::platform::pulse {

// Scoped owners of libpulse handles. Each deleter leaves the handle in a state
// where no callback of ours can run any more, so destroying an owner doubles
// as the error path. Handles that have callbacks must be destroyed with the
// main loop locked (MainloopLock).

struct MainloopDeleter {
    void operator()(pa_threaded_mainloop* loop) const {
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }
};

struct ContextDeleter {
    void operator()(pa_context* context) const {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};

struct StreamDeleter {
    void operator()(pa_stream* stream) const {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_suspended_callback(stream, nullptr, nullptr);
        pa_stream_set_moved_callback(stream, nullptr, nullptr);
        if (pa_stream_get_state(stream) != PA_STREAM_UNCONNECTED)
            pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
};

struct OperationDeleter {
    void operator()(pa_operation* operation) const {
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
            pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
};

struct ProplistDeleter {
    void operator()(pa_proplist* list) const { pa_proplist_free(list); }
};

using MainloopPtr = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;
using ContextPtr = std::unique_ptr<pa_context, ContextDeleter>;
using StreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;
using ProplistPtr = std::unique_ptr<pa_proplist, ProplistDeleter>;

// Lets an operation run to its end without waiting for it. A failing context
// cancels its operations, so their callbacks never outlive the context.
inline void forget(pa_operation* operation) {
    if (operation)
        pa_operation_unref(operation);
}

// Holds the threaded main loop's lock for a scope. On the main loop's own
// thread (inside a libpulse callback) the lock is already held and taking it
// again would deadlock, so the guard does nothing there.
class MainloopLock {
  public:
    explicit MainloopLock(pa_threaded_mainloop* loop)
        : loop_(loop && !pa_threaded_mainloop_in_thread(loop) ? loop : nullptr) {
        if (loop_)
            pa_threaded_mainloop_lock(loop_);
    }
    ~MainloopLock() {
        if (loop_)
            pa_threaded_mainloop_unlock(loop_);
    }
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

  private:
    pa_threaded_mainloop* loop_;
};

}  // namespace ostrovane::platform::pulse
