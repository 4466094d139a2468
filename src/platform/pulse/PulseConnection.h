#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "dispatch/Clock.h"
#include "dispatch/SerialQueue.h"
#include "platform/PlatformError.h"
#include "platform/pulse/PulseHandles.h"
#include "platform/pulse/PulseModel.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pulse {

inline constexpr const char* kPulseErrorDomain = "PulseAudio";

// How long capture waits, once the server is back or its device went away,
// for the server to offer a device again before it gives up. PipeWire's
// session manager adds devices and picks the defaults only after its pulse
// server answers.
inline constexpr std::chrono::milliseconds kDeviceSettleTime{3000};

// Hears what changed in the server's model, on the connection's event queue.
class ModelObserver {
  public:
    virtual ~ModelObserver() = default;
    virtual void modelChanged(const ModelChanges& changes) = 0;
};

// The provider's one connection to the sound server (PulseAudio, or PipeWire's
// pulse server): a threaded main loop, a context, and the model it keeps
// current from subscription events.
//
// Threads: libpulse callbacks run on the main loop thread with its lock held;
// they only update the model and post to a queue. Observers, listeners and
// notifications run on `events()`; work that waits on the server (starting a
// stream) runs on `work()`. Lock order: the main loop lock before any lock of
// ours, never the other way round.
//
// A lost or missing server is not an error of the connection: the model turns
// unavailable and the connection retries in the background (after 0.5 s, then
// every second) without ever spawning a server.
class PulseConnection : public std::enable_shared_from_this<PulseConnection> {
  public:
    struct Options {
        std::string clientName = "Ostrovane";
        // Empty: libpulse's usual lookup (PULSE_SERVER, the user's runtime dir).
        std::string server;
        // Bound of every wait on the server.
        std::chrono::milliseconds timeout{5000};
        // Where what the server and its recordings settled on is said (the
        // helper's log); none: nowhere, as for the command-line tools.
        std::function<void(std::string_view)> log;
    };

    // Connects and waits, at most the timeout, for the first complete listing
    // or the first failed attempt.
    static std::shared_ptr<PulseConnection> create(dispatch::Clock& clock, Options options);
    ~PulseConnection();

    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    PulseModel& model() { return model_; }
    std::chrono::milliseconds timeout() const { return options_.timeout; }
    dispatch::QueueRef events() const { return events_->ref(); }
    dispatch::QueueRef work() const { return work_->ref(); }
    pa_threaded_mainloop* mainloop() const { return mainloop_.get(); }

    // The context when it is connected and listed; only with the main loop locked.
    pa_context* readyContextLocked() const;
    // One more context on this main loop to the same server, connecting, its
    // state reported to `onState`; the error when it cannot even start. Only
    // with the main loop locked.
    Result<ContextPtr> newContextLocked(pa_context_notify_cb_t onState, void* userdata) const;
    // How many times the connection became ready (connected and listed); a
    // server that went away and came back counts again.
    std::uint64_t connections() const { return connections_.load(); }
    // Whether the server is PipeWire's pulse server, as far as its last
    // answer said; only with the main loop locked.
    bool onPipeWireLocked() const { return onPipeWire_; }
    // Why the server cannot be used right now; empty when it can.
    std::string unavailableReason() const;

    // Waits for the tasks already on both queues (not from those queues, nor
    // from the main loop thread). A facility that lets go of the connection
    // calls it first: a running task may hold a sibling facility (an
    // observer being told of a change), and the connection must end on its
    // owner's thread, not on its own while the owner frees the clock.
    void settle();

    void addObserver(std::weak_ptr<ModelObserver> observer);
    // Runs `task` on the event queue once `delay` has passed on the clock.
    void afterOnEvents(std::chrono::milliseconds delay, std::function<void()> task);

    // Asks the server (not the model, which may lag behind) whether a sink of
    // that name exists. Nothing when the server cannot answer within the
    // timeout. Blocks: never call it on the main loop thread.
    std::optional<bool> sinkExists(const std::string& name);
    // Asks the server for its defaults and puts them into the model before
    // returning: whatever the server did before the call (a removed default
    // source replaced by another) is then in the model, even when its change
    // events are still on their way. False when the server cannot answer
    // within the timeout. Blocks: never call it on the main loop thread.
    bool refreshDefaults();

    // Logs `line` (Options::log) unless it was logged before on this
    // connection: what a recording settled on is said once, not at every
    // sample of a device.
    void sayOnce(const std::string& line);

    class Key {
        friend class PulseConnection;
        Key() = default;
    };
    PulseConnection(Key, dispatch::Clock& clock, Options options);

  private:
    bool start();

    void connectLocked();
    void failedLocked(const std::string& reason);
    void beginListingLocked();
    void listingStepDone();
    void publish(ModelChanges changes);
    void querySingleLocked(unsigned facility, std::uint32_t index);

    static void onContextState(pa_context* context, void* self);
    static void onSubscription(pa_context* context, pa_subscription_event_type_t type,
                               std::uint32_t index, void* self);
    static void onReconnect(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv,
                            void* self);
    // One item of a listing (or the end of it) or of a single query.
    template <bool Listing, typename Info, ModelChanges (*Put)(PulseModel&, const Info&)>
    static void onInfo(pa_context*, const Info* info, int eol, void* self);
    template <bool Listing>
    static void onServerInfo(pa_context*, const pa_server_info* info, void* self);

    const Options options_;
    PulseModel model_;
    std::unique_ptr<dispatch::SerialQueue> events_;
    std::unique_ptr<dispatch::SerialQueue> work_;
    MainloopPtr mainloop_;

    // Main loop thread (or main loop lock) only.
    ContextPtr context_;
    pa_time_event* reconnectTimer_ = nullptr;
    std::chrono::milliseconds backoff_{500};
    int listingSteps_ = 0;  // outstanding requests of the initial listing
    bool onPipeWire_ = false;
    std::atomic<std::uint64_t> connections_{0};

    mutable util::Mutex mutex_;
    std::condition_variable attempted_;
    bool _attempted GUARDED_BY(mutex_) = false;
    std::string _unavailableReason GUARDED_BY(mutex_) = "not connected";
    std::vector<std::weak_ptr<ModelObserver>> _observers GUARDED_BY(mutex_);
    // Its own lock: lines are said with the main loop locked.
    util::Mutex saidMutex_;
    std::set<std::string> _said GUARDED_BY(saidMutex_);
};

}  // namespace ostrovane::platform::pulse
