#include "streaming/SimpleAudioStreamer.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

namespace ostrovane::streaming {

namespace {

std::string resultText(const platform::MaybeError& result) {
    return result ? "failure(" + result->localizedDescription() + ")" : "success";
}

}  // namespace

// The acknowledgement of one start. Whoever moves `_fired` from false to true
// owns the decision; `onAck` runs at most once, outside every lock.
struct SimpleAudioStreamer::AckOnce {
    explicit AckOnce(AckHandler handler) : onAck(std::move(handler)) {}

    // True for the one caller that claims the decision.
    bool claim() {
        util::MutexLock guard(lock);
        return !std::exchange(_fired, true);
    }
    bool fired() {
        util::MutexLock guard(lock);
        return _fired;
    }

    util::Mutex lock;
    bool _fired GUARDED_BY(lock) = false;
    const AckHandler onAck;
};

std::shared_ptr<SimpleAudioStreamer> SimpleAudioStreamer::create(
    StreamerEnvironment environment, std::shared_ptr<AudioSource> micSource,
    std::shared_ptr<AudioSource> systemSource) {
    return std::make_shared<SimpleAudioStreamer>(Key{}, std::move(environment),
                                                 std::move(micSource), std::move(systemSource));
}

SimpleAudioStreamer::SimpleAudioStreamer(Key, StreamerEnvironment environment,
                                         std::shared_ptr<AudioSource> micSource,
                                         std::shared_ptr<AudioSource> systemSource)
    : env_(std::move(environment)),
      dataPath_(env_.clock, env_.text, env_.frames),
      _micSource(std::move(micSource)),
      _systemSource(std::move(systemSource)),
      queue_(std::make_unique<dispatch::SerialQueue>(env_.clock, "audio.streamer")) {}

// What the sender loop shares with the streamer beyond the streamer itself.
struct SimpleAudioStreamer::SenderState {
    LoopEnd end;
};

SimpleAudioStreamer::~SimpleAudioStreamer() {
    std::unique_ptr<dispatch::BackgroundTask> sender;
    std::unique_ptr<dispatch::BackgroundTask> gapWatch;
    std::shared_ptr<SenderState> state;
    {
        util::MutexLock guard(senderLock_);
        sender = std::move(_sender);
        gapWatch = std::move(_gapWatch);
        state = std::move(_senderState);
    }
    gapWatch.reset();
    // The loop writes only while it holds the streamer, which it can no
    // longer do: the end line is ours if it is left. Written before the loop
    // is joined (or let go, when this runs on the sender during its pass).
    if (state && state->end.claim())
        log("data stream ended");
    sender.reset();
}

void SimpleAudioStreamer::log(std::string_view message) const {
    env_.text.logToStderr("SimpleAudioStreamer: " + std::string(message));
}

std::shared_ptr<AudioSource> SimpleAudioStreamer::micSource() const {
    util::MutexLock guard(lifecycleLock_);
    return _micSource;
}

std::shared_ptr<AudioSource> SimpleAudioStreamer::systemSource() const {
    util::MutexLock guard(lifecycleLock_);
    return _systemSource;
}

std::shared_ptr<NegotiatingAudioSource> SimpleAudioStreamer::negotiatingSystemSource() const {
    return std::dynamic_pointer_cast<NegotiatingAudioSource>(systemSource());
}

bool SimpleAudioStreamer::isStreaming() const {
    util::MutexLock guard(stateLock_);
    return _isStreaming;
}

void SimpleAudioStreamer::setStreaming(bool streaming) {
    util::MutexLock guard(stateLock_);
    _isStreaming = streaming;
}

bool SimpleAudioStreamer::stopRequested() const {
    util::MutexLock guard(lifecycleLock_);
    return _stopRequested;
}

void SimpleAudioStreamer::continueOnQueue(std::function<void(SimpleAudioStreamer&)> step) {
    queue_->ref().async([weak = weak_from_this(), step = std::move(step)] {
        if (auto self = weak.lock())
            step(*self);
    });
}

// MARK: start

void SimpleAudioStreamer::start(AckHandler onAck) {
    auto ack = std::make_shared<AckOnce>(std::move(onAck));
    {
        util::MutexLock guard(lifecycleLock_);
        _pendingAck = ack;
    }
    continueOnQueue([ack](SimpleAudioStreamer& self) { self.beginStart(ack); });
}

void SimpleAudioStreamer::beginStart(const AckRef& ack) {
    log("starting...");
    if (stopRequested()) {
        log("stop arrived before start began - aborting");
        finishPendingAck(ack, makeError(StreamingAckError::stoppedBeforeStart));
        return;
    }
    std::shared_ptr<AudioSource> mic;
    std::shared_ptr<AudioSource> system;
    {
        util::MutexLock guard(lifecycleLock_);
        if (!_micSource && env_.makeMicSource)
            _micSource = env_.makeMicSource();
        if (!_systemSource && env_.makeSystemSource)
            _systemSource = env_.makeSystemSource();
        mic = _micSource;
        system = _systemSource;
    }
    if (mic)
        mic->setOnAudioData(dataPath_.micIntake());
    if (system)
        system->setOnAudioData(dataPath_.systemIntake());
    if (!mic) {
        afterMicStart(ack, std::nullopt);
        return;
    }
    mic->start([weak = weak_from_this(), ack](platform::MaybeError error) {
        if (auto self = weak.lock()) {
            self->continueOnQueue([ack, error = std::move(error)](SimpleAudioStreamer& s) {
                s.afterMicStart(ack, error);
            });
        }
    });
}

void SimpleAudioStreamer::afterMicStart(const AckRef& ack, const platform::MaybeError& error) {
    auto mic = micSource();
    if (mic) {
        if (error) {
            log("mic source failed to start: " + error->description());
        } else {
            log("mic source started");
        }
    }
    if (stopRequested()) {
        log("stop arrived during mic start - aborting before system audio negotiation");
        auto resolve = [weak = weak_from_this(), ack] {
            if (auto self = weak.lock())
                self->finishPendingAck(ack, makeError(StreamingAckError::stoppedBeforeStart));
        };
        if (mic) {
            mic->stop(resolve);
        } else {
            resolve();
        }
        return;
    }
    auto system = systemSource();
    if (!system) {
        log("no system source");
        finishStreamingStart(ack, std::nullopt);
        return;
    }
    if (auto negotiating = std::dynamic_pointer_cast<NegotiatingAudioSource>(system)) {
        negotiating->setOnCaptureOutcome([weak = weak_from_this(), ack](platform::MaybeError e) {
            if (auto self = weak.lock())
                self->finishStreamingStart(ack, e);
        });
        armWatchdog(ack);
    }
    system->start([weak = weak_from_this(), ack](platform::MaybeError e) {
        if (auto self = weak.lock()) {
            self->continueOnQueue(
                [ack, e = std::move(e)](SimpleAudioStreamer& s) { s.afterSystemStart(ack, e); });
        }
    });
}

void SimpleAudioStreamer::afterSystemStart(const AckRef& ack, const platform::MaybeError& error) {
    auto negotiating = negotiatingSystemSource();
    if (!error) {
        if (negotiating) {
            log("system source negotiating (awaiting SCK completion)");
            return;
        }
        log("system source started");
        finishStreamingStart(ack, std::nullopt);
        return;
    }
    log("system source failed to start: " + error->description());
    // A denied permission has been reported by the source itself.
    if (!negotiating || !negotiating->isPermissionDenied(*error)) {
        env_.text.sendEvent("SYSTEM_AUDIO_START_FAILED:" + error->localizedDescription());
    }
    if (negotiating)
        negotiating->setOnCaptureOutcome(nullptr);
    finishStreamingStart(ack, std::nullopt);  // the microphone streams alone
}

void SimpleAudioStreamer::armWatchdog(const AckRef& ack) {
    // Never cancelled: once the decision is taken it finds the ack fired.
    queue_->asyncAfter(streamingAckWatchdogTimeout, [weak = weak_from_this(), ack] {
        if (auto self = weak.lock())
            self->watchdogFired(ack);
    });
}

void SimpleAudioStreamer::watchdogFired(const AckRef& ack) {
    // The watchdog claims the decision before it cleans up, so an outcome
    // arriving during the cleanup loses instead of starting a torn-down stream.
    if (!ack->claim())
        return;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f",
                  dispatch::toSeconds(streamingAckWatchdogTimeout));
    log(std::string("streaming ack watchdog fired after ") + seconds +
        "s - forcing system audio cleanup");
    if (auto negotiating = negotiatingSystemSource())
        negotiating->forceCleanup();
    resolveClaimed(ack, makeError(StreamingAckError::watchdogTimeout));
}

// MARK: resolution

void SimpleAudioStreamer::finishStreamingStart(const AckRef& ack,
                                               const platform::MaybeError& result) {
    if (!ack->claim()) {
        log("finishStreamingStart lost the ack race (result=" + resultText(result) +
            ") - another resolution already won, skipping side effects");
        return;
    }
    resolveClaimed(ack, result);
}

void SimpleAudioStreamer::resolveClaimed(const AckRef& ack, const platform::MaybeError& result) {
    if (result) {
        log("system audio negotiation failed: " + result->description());
    } else {
        util::MutexLock lifecycle(lifecycleLock_);
        if (_stopRequested) {
            lifecycle.unlock();
            log("system audio negotiation succeeded after stop() was already requested - "
                "discarding stream instead of starting");
            setStreaming(false);
            if (auto negotiating = negotiatingSystemSource())
                negotiating->forceCleanup();
        } else {
            {
                util::MutexLock state(stateLock_);
                _isStreaming = true;
            }
            lifecycle.unlock();
            startDataStream();
            log("STREAMING_STARTED");
        }
    }
    clearPendingAck(ack);
    if (ack->onAck)
        ack->onAck(result);
}

void SimpleAudioStreamer::finishPendingAck(const AckRef& ack, const platform::MaybeError& result) {
    clearPendingAck(ack);
    if (ack->claim() && ack->onAck)
        ack->onAck(result);
}

void SimpleAudioStreamer::clearPendingAck(const AckRef& ack) {
    util::MutexLock guard(lifecycleLock_);
    if (_pendingAck == ack)
        _pendingAck.reset();
}

// MARK: stop

void SimpleAudioStreamer::markStopRequestedAndTakePendingAck() {
    util::MutexLock guard(lifecycleLock_);
    _stopRequested = true;
    if (auto pending = std::exchange(_pendingAck, nullptr))
        pending->claim();  // silenced: its onAck is never called
}

void SimpleAudioStreamer::stop(std::function<void()> completion) {
    log("stopping...");
    markStopRequestedAndTakePendingAck();
    setStreaming(false);  // the sender ends after its current pass
    // The stop in progress keeps the streamer, as a caller awaiting it would.
    auto finish = [self = shared_from_this(), completion = std::move(completion)] {
        self->log("STREAMING_STOPPED");
        if (completion)
            completion();
    };
    auto stopSystem = [self = shared_from_this(), finish = std::move(finish)] {
        if (auto system = self->systemSource()) {
            system->stop(finish);
        } else {
            finish();
        }
    };
    if (auto mic = micSource()) {
        mic->stop(std::move(stopSystem));
    } else {
        stopSystem();
    }
}

// MARK: sender

void SimpleAudioStreamer::startDataStream() {
    log("data stream starting");
    dataPath_.beginTimeline();
    auto gapWatch = std::make_unique<dispatch::BackgroundTask>(
        env_.clock, "audio.gaps",
        [weak = weak_from_this()](dispatch::BackgroundTask::Context& context) {
            gapWatchLoop(weak, context);
        });
    auto state = std::make_shared<SenderState>();
    auto task = std::make_unique<dispatch::BackgroundTask>(
        env_.clock, "audio.sender",
        [weak = weak_from_this(), state](dispatch::BackgroundTask::Context& context) {
            senderLoop(weak, *state, context);
        });
    util::MutexLock guard(senderLock_);
    _senderState = std::move(state);
    _sender = std::move(task);
    _gapWatch = std::move(gapWatch);
}

void SimpleAudioStreamer::gapWatchLoop(const std::weak_ptr<SimpleAudioStreamer>& weak,
                                       dispatch::BackgroundTask::Context& context) {
    while (context.sleepFor(StreamDataPath::kGapWatchInterval)) {
        auto self = weak.lock();
        if (!self || !self->isStreaming())
            return;
        self->dataPath_.watchGaps();
    }
}

void SimpleAudioStreamer::senderLoop(const std::weak_ptr<SimpleAudioStreamer>& weak,
                                     SenderState& state,
                                     dispatch::BackgroundTask::Context& context) {
    std::uint64_t passes = 0;
    for (;;) {
        {
            // Held for one pass only: a released streamer ends its sender at
            // the next wake-up instead of streaming on for ever. Every other
            // way out leaves the end line to the streamer's destructor.
            auto self = weak.lock();
            if (!self)
                return;
            if (!self->isStreaming()) {
                if (state.end.claim())
                    self->log("data stream ended");
                return;
            }
            self->dataPath_.sendAudioData();
            if (++passes % kPassesPerBufferStatus == 0)
                self->dataPath_.logBufferStatus();
        }
        if (!context.sleepFor(kSenderPause))
            return;  // the streamer is being destroyed
    }
}

}  // namespace ostrovane::streaming
