#include "sources/system/SystemAudioSource.h"

#include <string>
#include <utility>

#include "util/NumberFormat.h"

namespace ostrovane::sources::system {

using platform::CaptureStream;
using platform::MaybeError;
using platform::StreamOutputType;

namespace {

const char* boolText(bool value) {
    return value ? "true" : "false";
}

}  // namespace

std::shared_ptr<SystemAudioSource> SystemAudioSource::create(Dependencies dependencies) {
    auto source = std::make_shared<SystemAudioSource>(Key{}, std::move(dependencies));
    source->registerForWakeNotifications();
    return source;
}

SystemAudioSource::SystemAudioSource(Key, Dependencies dependencies)
    : screenCapture_(std::move(dependencies.screenCapture)),
      applications_(std::move(dependencies.applications)),
      text_(dependencies.text),
      clock_(dependencies.clock),
      _recovery(clock_.uptimeSeconds(),
                RecoveryLimits{recoveryWindowSeconds, recoveryMaxAttempts, contentionWindowSeconds,
                               contentionMaxAttempts}),
      conversion_(text_, targetSampleRate_, targetChannels_),
      streamRecoveryQueue_(clock_, "system.recovery"),
      systemAudioQueue_(clock_, "system.audio") {}

SystemAudioSource::~SystemAudioSource() {
    if (wakeObserver_ && applications_)
        applications_->removeWakeObserver(*wakeObserver_);
    std::unique_ptr<dispatch::RepeatingTimer> watchdog;
    StreamPtr stream;
    {
        util::MutexLock lock(stateLock_);
        watchdog = std::move(_callbackWatchdog);
        stream = takeStreamLocked();
    }
    if (watchdog)
        watchdog->cancel();
    // Released without a stop: the stream must not keep capturing for nobody.
    if (stream) {
        stream->removeOutput(StreamOutputType::audio);
        stream->stopCapture([](MaybeError) {});
    }
}

void SystemAudioSource::log(std::string_view message) const {
    text_.logToStderr(std::string("SystemAudioSource: ").append(message));
}

// ---- helpers under stateLock_ ----

SystemAudioSource::StreamPtr SystemAudioSource::takeStreamLocked() {
    _streamId = 0;
    return std::exchange(_stream, nullptr);
}

void SystemAudioSource::setStreamConfigLocked(const platform::ContentFilter& filter,
                                              const platform::StreamConfiguration& configuration,
                                              StreamPtr stream, StreamId id) {
    _streamContentFilter = filter;
    _streamConfiguration = configuration;
    _stream = std::move(stream);
    _streamId = id;
}

void SystemAudioSource::setActiveLocked(bool active) {
    _isActive = active;
    if (!active)
        _recovery.clearScheduled();
}

void SystemAudioSource::resetCallbackStateLocked() {
    _callbackCount = 0;
    _firstCallback = true;
}

std::optional<double> SystemAudioSource::callbackAgeSecondsLocked(double now) const {
    if (!_lastCallbackAt)
        return std::nullopt;
    return now - *_lastCallbackAt;
}

// ---- AudioSource ----

bool SystemAudioSource::isActive() const {
    util::MutexLock lock(stateLock_);
    return _isActive;
}

void SystemAudioSource::setOnCaptureOutcome(CaptureOutcome outcome) {
    auto shared = outcome ? std::make_shared<const CaptureOutcome>(std::move(outcome)) : nullptr;
    util::MutexLock lock(stateLock_);
    _onCaptureOutcome = std::move(shared);
}

bool SystemAudioSource::isPermissionDenied(const platform::Error& error) const {
    return systemAudioErrorOf(error) == SystemAudioError::permissionDenied;
}

SystemAudioSource::Status SystemAudioSource::status() const {
    util::MutexLock lock(stateLock_);
    return Status{
        .isActive = _isActive,
        .isStopping = _isStopping,
        .hasStream = _stream != nullptr,
        .watchdogRunning = _callbackWatchdog != nullptr,
        .streamRecoveryScheduled = _recovery.recoveryScheduled(),
        .inContentionRecovery = _recovery.inContentionRecovery(),
        .recoveryAttempts = _recovery.recoveryAttempts(),
        .contentionRecoveryAttempts = _recovery.contentionRecoveryAttempts(),
        .sessionGeneration = _recovery.sessionGeneration(),
        .recoveryNonce = _recovery.recoveryNonce(),
        .callbackCount = _callbackCount,
        .lastCallbackAt = _lastCallbackAt,
    };
}

// ---- start ----

void SystemAudioSource::start(StartCompletion completion) {
    std::uint64_t generation = 0;
    const char* refusal = nullptr;
    {
        util::MutexLock lock(stateLock_);
        if (_isActive || _isStopping) {
            refusal = _isStopping ? "stop in progress" : "already active";
        } else {
            _isActive = true;
            generation = _recovery.sessionGeneration();
        }
    }
    if (refusal != nullptr) {
        log(std::string("start ignored - ") + refusal);
        if (completion)
            completion(std::nullopt);
        return;
    }

    log("starting...");
    const bool granted = screenCapture_->requestAccess();
    log(std::string("screen recording permission ") + (granted ? "GRANTED" : "DENIED"));
    if (!granted) {
        log("permission denied, cannot capture system audio");
        text_.sendCommandResponse("SCREEN_RECORDING_PERMISSION_DENIED:");
        text_.sendEvent("SCREEN_RECORDING_PERMISSION_DENIED");
        failStart(generation, makeError(SystemAudioError::permissionDenied), completion);
        return;
    }

    screenCapture_->shareableContent({}, [weak = weak_from_this(), generation, completion](
                                             platform::Result<platform::ShareableContent> content) {
        auto self = weak.lock();
        if (!self) {
            if (completion)
                completion(makeError(SystemAudioError::streamCreationFailed));
            return;
        }
        self->continueStart(generation, content, completion);
    });
}

void SystemAudioSource::failStart(std::uint64_t generation, platform::Error error,
                                  const StartCompletion& completion) {
    std::unique_ptr<dispatch::RepeatingTimer> watchdog;
    {
        util::MutexLock lock(stateLock_);
        // A stop (and perhaps a new start) may have overtaken this one; what
        // is there now belongs to that session.
        if (_recovery.sessionGeneration() == generation) {
            setActiveLocked(false);
            watchdog = std::move(_callbackWatchdog);
        }
    }
    if (watchdog)
        watchdog->cancel();
    if (completion)
        completion(std::move(error));
}

platform::StreamConfiguration SystemAudioSource::audioStreamConfiguration() const {
    platform::StreamConfiguration configuration;
    configuration.capturesAudio = true;
    configuration.excludesCurrentProcessAudio = true;
    configuration.sampleRate = targetSampleRate_;
    configuration.channelCount = targetChannels_;
    // Video cannot be switched off; ask for the least of it.
    configuration.width = 16;
    configuration.height = 16;
    configuration.pixelFormat = platform::PixelFormat::yuv420v;
    return configuration;
}

SystemAudioSource::StreamPtr SystemAudioSource::makeStream(
    const platform::ContentFilter& filter, const platform::StreamConfiguration& configuration,
    StreamId id) {
    // The delegate is fixed when the stream is made, so it knows its stream
    // by id rather than by pointer.
    return screenCapture_->makeStream(
        filter, configuration,
        [weak = weak_from_this(), id](const platform::StreamStopError& error) {
            if (auto self = weak.lock())
                self->handleStreamStopped(id, error);
        });
}

MaybeError SystemAudioSource::addAudioOutput(const StreamPtr& stream, StreamId id) {
    return stream->addAudioOutput(
        [weak = weak_from_this(), id](std::shared_ptr<const platform::SampleBuffer> buffer) {
            if (auto self = weak.lock())
                self->handleSampleBuffer(id, buffer);
        },
        systemAudioQueue_.ref());
}

std::optional<platform::ContentFilter> SystemAudioSource::audioFilterOf(
    const platform::Result<platform::ShareableContent>& content) const {
    if (content.ok()) {
        log("found " + std::to_string(content->displays.size()) + " displays, " +
            std::to_string(content->windows.size()) + " windows");
    }
    if (content.ok() && !content->displays.empty()) {
        const platform::Display& display = content->displays.front();
        log("using display " + std::to_string(display.displayId) + " (" +
            std::to_string(display.width) + "x" + std::to_string(display.height) + ")");
        return screenCapture_->makeFilter(display);
    }
    auto displayless = screenCapture_->displaylessAudioFilter();
    if (displayless) {
        log("no display (" +
            (content.ok() ? std::string("none listed") : content.error().description()) +
            "), recording the system mix without one");
    } else if (content.ok()) {
        log("no displays found");
    }
    return displayless;
}

void SystemAudioSource::continueStart(std::uint64_t generation,
                                      const platform::Result<platform::ShareableContent>& content,
                                      const StartCompletion& completion) {
    const std::optional<platform::ContentFilter> found = audioFilterOf(content);
    if (!found) {
        failStart(generation,
                  content.ok() ? makeError(SystemAudioError::noDisplayFound) : content.error(),
                  completion);
        return;
    }
    const platform::ContentFilter& filter = *found;
    const platform::StreamConfiguration configuration = audioStreamConfiguration();
    log(std::string("config: capturesAudio=") + boolText(configuration.capturesAudio) +
        ", excludesCurrentProcessAudio=" + boolText(configuration.excludesCurrentProcessAudio));

    // A stop during the content query ended this start's session; a stream
    // made now would capture with nobody to stop it. Checked before the stream
    // is made and again when it is stored.
    auto overtakenLocked = [&]() REQUIRES(stateLock_) {
        return !liveLocked() || _recovery.sessionGeneration() != generation;
    };
    auto abandon = [&] {
        log("start aborted - stopped before the stream was created");
        if (completion)
            completion(std::nullopt);
    };
    StreamId id = 0;
    {
        util::MutexLock lock(stateLock_);
        if (!overtakenLocked())
            id = ++_lastStreamId;
    }
    if (id == 0) {
        abandon();
        return;
    }
    StreamPtr stream = makeStream(filter, configuration, id);
    bool overtaken = false;
    {
        util::MutexLock lock(stateLock_);
        overtaken = overtakenLocked();
        if (!overtaken)
            setStreamConfigLocked(filter, configuration, stream, id);
    }
    if (overtaken) {
        abandon();
        return;
    }

    if (MaybeError error = addAudioOutput(stream, id)) {
        {
            util::MutexLock lock(stateLock_);
            if (isCurrentStreamLocked(id))
                takeStreamLocked();
        }
        stream->removeOutput(StreamOutputType::audio);
        stopCaptureFireAndForget(stream, "start_setup_error");
        failStart(generation, *error, completion);
        return;
    }
    log("audio output handler added");

    std::unique_ptr<dispatch::RepeatingTimer> previousWatchdog;
    {
        const double startedAt = now();
        util::MutexLock lock(stateLock_);
        // Only while this start still owns the session: a stop that began
        // meanwhile must not find a watchdog started behind its back.
        if (liveLocked() && isCurrentStreamLocked(id)) {
            resetCallbackStateLocked();
            _lastCallbackAt = startedAt;
            startCallbackWatchdogLocked(previousWatchdog);
            _recovery.reset(startedAt);
        }
    }
    if (previousWatchdog)
        previousWatchdog->cancel();

    stream->startCapture([weak = weak_from_this(), id](MaybeError error) {
        if (auto self = weak.lock())
            self->captureStartCompleted(id, error);
    });
    if (completion)
        completion(std::nullopt);
}

void SystemAudioSource::captureStartCompleted(StreamId id, const MaybeError& error) {
    if (!error) {
        bool confirmed = false;
        std::shared_ptr<const CaptureOutcome> outcome;
        {
            util::MutexLock lock(stateLock_);
            confirmed = liveLocked() && isCurrentStreamLocked(id);
            outcome = _onCaptureOutcome;
        }
        if (confirmed) {
            log("started successfully");
            if (outcome && *outcome)
                (*outcome)(std::nullopt);
            return;
        }
        log("start aborted - stopped during startCapture");
        StreamPtr stream;
        {
            util::MutexLock lock(stateLock_);
            if (isCurrentStreamLocked(id))
                stream = takeStreamLocked();
        }
        if (stream) {
            stream->removeOutput(StreamOutputType::audio);
            stopCaptureFireAndForget(stream, "aborted_during_start");
        }
        return;
    }

    log("startCapture completion error: " + error->description());
    bool current = false;
    std::shared_ptr<const CaptureOutcome> outcome;
    {
        util::MutexLock lock(stateLock_);
        current = isCurrentStreamLocked(id);
        outcome = _onCaptureOutcome;
    }
    if (!current) {
        log("startCapture completion error ignored - stream was superseded");
        return;
    }
    forceCleanup();
    text_.sendEvent("SYSTEM_AUDIO_STREAM_ERROR:" + error->localizedDescription());
    if (outcome && *outcome)
        (*outcome)(error);
}

void SystemAudioSource::stopCaptureFireAndForget(const StreamPtr& stream,
                                                 const std::string& reason) {
    stream->stopCapture([weak = weak_from_this(), reason](MaybeError error) {
        if (!error)
            return;
        if (auto self = weak.lock())
            self->log("stopCapture completion error (" + reason + "): " + error->description());
    });
}

// ---- stop and forced clean-up ----

void SystemAudioSource::stop(StopCompletion completion) {
    StreamPtr stream;
    bool stopping = false;
    {
        util::MutexLock lock(stateLock_);
        // Nothing to stop, or another stop is already at it: not a word.
        if (_isActive && !_isStopping) {
            stopping = true;
            _isStopping = true;
            _recovery.endSession();
            stream = takeStreamLocked();
        }
    }
    auto done = [completion = std::move(completion)] {
        if (completion)
            completion();
    };
    if (!stopping) {
        done();
        return;
    }

    log("stopping...");
    stopCallbackWatchdog();
    if (!stream) {
        finishStop();
        done();
        return;
    }
    if (MaybeError error = stream->removeOutput(StreamOutputType::audio))
        log("error removing stream output: " + error->description());
    // Every buffer queued before this job runs first, so no callback is still
    // inside the sample path when the stream is stopped.
    systemAudioQueue_.async([weak = weak_from_this(), stream, done = std::move(done)] {
        if (auto self = weak.lock()) {
            self->stopCaptureFireAndForget(stream, "stop");
            self->finishStop();
        } else {
            stream->stopCapture([](MaybeError) {});
        }
        done();
    });
}

void SystemAudioSource::finishStop() {
    {
        util::MutexLock lock(stateLock_);
        setActiveLocked(false);
        _isStopping = false;
    }
    log("stopped");
}

void SystemAudioSource::forceCleanup() {
    StreamPtr stream;
    {
        util::MutexLock lock(stateLock_);
        stream = takeStreamLocked();
        _isActive = false;
        _isStopping = false;
        // Ends the session like a stop, so a rebuild that is still pending
        // cannot revive a stream for a later start.
        _recovery.endSession();
    }
    log(std::string("forceCleanup \u2014 stream=") + (stream ? "present" : "nil"));
    stopCallbackWatchdog();
    if (stream) {
        stream->removeOutput(StreamOutputType::audio);
        stopCaptureFireAndForget(stream, "force_cleanup");
    }
}

// ---- the sample path ----

void SystemAudioSource::handleSampleBuffer(
    StreamId id, const std::shared_ptr<const platform::SampleBuffer>& buffer) {
    if (!buffer)
        return;
    const double arrivedAt = now();
    {
        util::MutexLock lock(stateLock_);
        if (!_stream || !isCurrentStreamLocked(id))
            return;  // a buffer of a stream that was replaced or stopped
        _lastCallbackAt = arrivedAt;
    }

    const std::optional<platform::StreamDescription> description = buffer->streamDescription();
    if (!description) {
        log("failed to get format description");
        return;
    }
    const std::int64_t frames = buffer->frameCount();

    bool first = false;
    bool reclaimed = false;
    {
        util::MutexLock lock(stateLock_);
        // Checked again: a rebuild may have taken the stream since, and an old
        // buffer must not end contention mode for the new one.
        if (!isCurrentStreamLocked(id))
            return;
        first = std::exchange(_firstCallback, false);
        ++_callbackCount;
        reclaimed = _recovery.takeContentionFlag();
    }
    if (first) {
        log("first callback - channels=" + std::to_string(description->channelsPerFrame) +
            ", float=" + boolText(description->isFloat) +
            ", rate=" + shortestDecimal(description->sampleRate) +
            ", planar=" + boolText(description->isNonInterleaved));
    }
    if (reclaimed) {
        log("contention recovery succeeded - audio stream reclaimed");
        text_.sendEvent("SYSTEM_AUDIO_CONTENTION_RESOLVED");
    }
    if (frames <= 0)
        return;
    conversion_.process(*buffer, *description, frames,
                        [this](std::span<const std::uint8_t> chunk) { deliverAudio(chunk); });
}

}  // namespace ostrovane::sources::system
