// The system source's self-healing: the stall watchdog, stream errors, wake
// from sleep, and the rebuild of the capture stream under the two budgets.
#include <cstdio>
#include <string>

#include "sources/system/SystemAudioSource.h"
#include "util/NumberFormat.h"

namespace ostrovane::sources::system {

using platform::MaybeError;
using platform::StreamOutputType;

namespace {

constexpr const char* kContentionReason = "contention_-3805";

std::string oneDecimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

}  // namespace

// One rebuild in flight. Its steps run as completions on whatever thread the
// service answers on; each re-checks the ticket under the source's lock.
struct SystemAudioSource::Rebuild {
    std::string reason;
    RecoveryTicket ticket;
    std::optional<platform::StreamConfiguration> savedConfiguration;
    StreamId newStreamId = 0;  // set once the new stream was stored
    bool succeeded = false;
    bool finished = false;  // only touched by the rebuild's own steps, one at a time
};

// ---- wake ----

void SystemAudioSource::registerForWakeNotifications() {
    if (!applications_)
        return;
    wakeObserver_ = applications_->addWakeObserver([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->scheduleStreamRecovery("wake_notification");
    });
}

// ---- watchdog ----

void SystemAudioSource::startCallbackWatchdogLocked(
    std::unique_ptr<dispatch::RepeatingTimer>& previous) {
    previous = std::move(_callbackWatchdog);
    const dispatch::Duration interval = dispatch::seconds(callbackWatchdogInterval);
    _callbackWatchdog = std::make_unique<dispatch::RepeatingTimer>(
        streamRecoveryQueue_, interval, dispatch::Duration{0}, [weak = weak_from_this()] {
            if (auto self = weak.lock())
                self->watchdogTick();
        });
    _callbackWatchdog->start(interval);
}

void SystemAudioSource::stopCallbackWatchdog() {
    std::unique_ptr<dispatch::RepeatingTimer> watchdog;
    {
        util::MutexLock lock(stateLock_);
        watchdog = std::move(_callbackWatchdog);
    }
    if (watchdog)
        watchdog->cancel();
}

void SystemAudioSource::watchdogTick() {
    const double tickAt = now();
    std::optional<double> age;
    bool contention = false;
    StreamPtr stream;
    StreamId id = 0;
    {
        util::MutexLock lock(stateLock_);
        if (!_isActive)
            return;
        age = callbackAgeSecondsLocked(tickAt);
        contention = _recovery.inContentionRecovery();
        stream = _stream;
        id = _streamId;
    }
    if (!age)
        return;  // no audio and no start yet: nothing can have stalled
    if (stream && stream->isAwaitingService()) {
        // The stream resumes by itself when its service is back; a rebuild
        // now would only fail and spend the budget. The stall limit counts
        // from the service's return.
        util::MutexLock lock(stateLock_);
        if (isCurrentStreamLocked(id))
            _lastCallbackAt = tickAt;
        return;
    }
    const double limit = contention ? contentionStallTimeout : callbackStallTimeout;
    if (*age < limit)
        return;
    if (contention) {
        scheduleContentionRecovery();
    } else {
        scheduleStreamRecovery("callback_stalled_" +
                               std::to_string(static_cast<std::int64_t>(*age)) + "s");
    }
}

// ---- stream errors ----

void SystemAudioSource::handleStreamStopped(StreamId id, const platform::StreamStopError& error) {
    const std::string code = std::to_string(error.code());
    bool current = false;
    {
        util::MutexLock lock(stateLock_);
        current = _stream && isCurrentStreamLocked(id);
    }
    if (!current) {
        // A torn-down stream must not trigger a second rebuild.
        log("ignoring error from stale stream (code: " + code + ")");
        return;
    }
    log("stream stopped with error: " + error.error.description() + " (code: " + code + ")");
    switch (error.kind()) {
        case platform::StreamStopKind::contention:
            log("contention detected (-3805) - another app interrupted stream, fighting to "
                "reclaim...");
            text_.sendEvent("SYSTEM_AUDIO_CONTENTION:-3805");
            scheduleContentionRecovery();
            break;
        case platform::StreamStopKind::displayUnavailable:
            scheduleStreamRecovery("display_unavailable_-3815");
            break;
        case platform::StreamStopKind::other:
            scheduleStreamRecovery("stream_error_" + code);
            break;
    }
}

// ---- scheduling ----

void SystemAudioSource::scheduleStreamRecovery(std::string reason) {
    streamRecoveryQueue_.async([weak = weak_from_this(), reason = std::move(reason)] {
        if (auto self = weak.lock())
            self->runScheduleStreamRecovery(reason);
    });
}

void SystemAudioSource::scheduleContentionRecovery() {
    streamRecoveryQueue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->runScheduleContentionRecovery();
    });
}

void SystemAudioSource::runScheduleStreamRecovery(const std::string& reason) {
    const double requestedAt = now();
    RecoveryBudget::NormalDecision decision;
    {
        util::MutexLock lock(stateLock_);
        decision = _recovery.requestNormal(requestedAt, liveLocked());
    }
    if (decision.firstRefusal) {
        // Once per window: the watchdog asks again every second meanwhile.
        log("recovery skipped (max attempts) reason=" + reason);
        text_.sendEvent("SYSTEM_AUDIO_STREAM_ERROR:System audio recovery gave up after " +
                        std::to_string(recoveryMaxAttempts) + " attempts (" + reason + ")");
    }
    if (!decision.ticket)
        return;
    log("scheduling recovery (" + reason + ") in " + shortestDecimal(recoveryDelay) + "s");
    text_.sendEvent("SYSTEM_AUDIO_RECOVERY_SCHEDULED:" + reason);
    streamRecoveryQueue_.asyncAfter(dispatch::seconds(recoveryDelay),
                                    [weak = weak_from_this(), reason, ticket = *decision.ticket] {
                                        if (auto self = weak.lock())
                                            self->rebuildStream(reason, ticket);
                                    });
}

void SystemAudioSource::runScheduleContentionRecovery() {
    const double requestedAt = now();
    RecoveryBudget::ContentionDecision decision;
    {
        util::MutexLock lock(stateLock_);
        decision = _recovery.requestContention(requestedAt, liveLocked());
    }
    if (decision.preemptedNormal)
        log("preempting pending normal recovery with contention path");
    const std::string budget =
        std::to_string(decision.attempt) + "/" + std::to_string(contentionMaxAttempts);
    if (decision.exhausted) {
        log("contention recovery exhausted (" + budget +
            ") - another app is persistently blocking audio capture");
        text_.sendEvent("SYSTEM_AUDIO_CONTENTION_EXHAUSTED");
        return;
    }
    if (!decision.proceed)
        return;
    log("contention recovery " + budget + " in " + oneDecimal(contentionRecoveryDelay) + "s");
    text_.sendEvent(std::string("SYSTEM_AUDIO_RECOVERY_SCHEDULED:") + kContentionReason);
    streamRecoveryQueue_.asyncAfter(dispatch::seconds(contentionRecoveryDelay),
                                    [weak = weak_from_this(), ticket = decision.ticket] {
                                        if (auto self = weak.lock())
                                            self->rebuildStream(kContentionReason, ticket);
                                    });
}

// ---- the rebuild ----

void SystemAudioSource::rebuildStream(const std::string& reason, const RecoveryTicket& ticket) {
    auto rebuild = std::make_shared<Rebuild>();
    rebuild->reason = reason;
    rebuild->ticket = ticket;
    bool admitted = false;
    {
        util::MutexLock lock(stateLock_);
        admitted = _recovery.admit(ticket, liveLocked());
        if (admitted)
            rebuild->savedConfiguration = _streamConfiguration;
    }
    if (!admitted) {
        log("rebuildStream skipped (" + reason + ") - stale nonce or inactive");
        return;
    }
    rebuildBegin(rebuild);
}

void SystemAudioSource::rebuildBegin(const std::shared_ptr<Rebuild>& rebuild) {
    StreamPtr old;
    bool valid = false;
    {
        util::MutexLock lock(stateLock_);
        valid = _recovery.isValid(rebuild->ticket, liveLocked());
        if (valid)
            old = takeStreamLocked();
    }
    if (!valid) {
        rebuildFinish(rebuild);
        return;
    }
    if (!old) {
        rebuildQueryContent(rebuild);
        return;
    }
    if (MaybeError error = old->removeOutput(StreamOutputType::audio)) {
        log("failed to remove stream output (" + rebuild->reason + "): " + error->description());
    }
    // The converter pair is dropped on the audio queue, behind any buffer still
    // queued, so the sample path never sees it half replaced; the rebuild goes
    // on from there.
    systemAudioQueue_.async([weak = weak_from_this(), rebuild, old] {
        auto self = weak.lock();
        if (!self) {
            old->stopCapture([](MaybeError) {});
            return;
        }
        self->conversion_.reset();
        self->stopCaptureFireAndForget(old, rebuild->reason);
        self->rebuildQueryContent(rebuild);
    });
}

void SystemAudioSource::rebuildQueryContent(const std::shared_ptr<Rebuild>& rebuild) {
    screenCapture_->shareableContent({}, [weak = weak_from_this(), rebuild](
                                             platform::Result<platform::ShareableContent> content) {
        if (auto self = weak.lock())
            self->rebuildWithContent(rebuild, content);
    });
}

void SystemAudioSource::rebuildWithContent(
    const std::shared_ptr<Rebuild>& rebuild,
    const platform::Result<platform::ShareableContent>& content) {
    const std::string& reason = rebuild->reason;
    const std::optional<platform::ContentFilter> found = audioFilterOf(content);
    if (!found && !content.ok()) {
        log("failed to rebuild (" + reason + "): " + content.error().description());
        rebuildCleanUpStream(rebuild);
        rebuildFinish(rebuild);
        return;
    }
    if (!found) {
        log("recovery skipped (" + reason + ") - no displays");
        rebuildFinish(rebuild);
        return;
    }
    const platform::ContentFilter& filter = *found;
    platform::StreamConfiguration configuration = audioStreamConfiguration();
    if (const auto& saved = rebuild->savedConfiguration) {
        configuration.sampleRate = saved->sampleRate;
        configuration.channelCount = saved->channelCount;
        configuration.width = saved->width;
        configuration.height = saved->height;
        configuration.pixelFormat = saved->pixelFormat;
    }

    StreamId id = 0;
    {
        util::MutexLock lock(stateLock_);
        id = ++_lastStreamId;
    }
    StreamPtr stream = makeStream(filter, configuration, id);
    if (MaybeError error = addAudioOutput(stream, id)) {
        log("failed to rebuild (" + reason + "): " + error->description());
        rebuildCleanUpStream(rebuild);
        rebuildFinish(rebuild);
        return;
    }

    bool stored = false;
    {
        util::MutexLock lock(stateLock_);
        if (_recovery.isValid(rebuild->ticket, liveLocked())) {
            setStreamConfigLocked(filter, configuration, stream, id);
            resetCallbackStateLocked();
            rebuild->newStreamId = id;
            stored = true;
        }
    }
    if (!stored) {
        stream->removeOutput(StreamOutputType::audio);
        rebuildFinish(rebuild);
        return;
    }
    stream->startCapture([weak = weak_from_this(), rebuild](MaybeError error) {
        if (auto self = weak.lock())
            self->rebuildStarted(rebuild, error);
    });
}

void SystemAudioSource::rebuildStarted(const std::shared_ptr<Rebuild>& rebuild,
                                       const MaybeError& error) {
    const std::string& reason = rebuild->reason;
    if (error) {
        log("failed to rebuild (" + reason + "): " + error->description());
        rebuildCleanUpStream(rebuild);
        rebuildFinish(rebuild);
        return;
    }
    const double startedAt = now();
    bool valid = false;
    StreamPtr abandoned;
    {
        util::MutexLock lock(stateLock_);
        valid = _recovery.isValid(rebuild->ticket, liveLocked());
        if (valid) {
            _lastCallbackAt = startedAt;
        } else if (isCurrentStreamLocked(rebuild->newStreamId)) {
            abandoned = takeStreamLocked();
        }
    }
    if (valid) {
        rebuild->succeeded = true;
        log("recovered (" + reason + ")");
        rebuildFinish(rebuild);
        return;
    }
    if (abandoned) {
        abandoned->removeOutput(StreamOutputType::audio);
        stopCaptureFireAndForget(abandoned, reason);
    }
    log("recovery aborted (" + reason + ") - stopped during startCapture");
    rebuildFinish(rebuild);
}

void SystemAudioSource::rebuildCleanUpStream(const std::shared_ptr<Rebuild>& rebuild) {
    StreamPtr stream;
    {
        util::MutexLock lock(stateLock_);
        // Only this rebuild's own stream, or the current one while this rebuild
        // is still the newest: a stale rebuild must not tear down the stream a
        // newer one made.
        const bool ours = rebuild->newStreamId != 0
                              ? isCurrentStreamLocked(rebuild->newStreamId)
                              : _recovery.isValid(rebuild->ticket, liveLocked());
        if (ours)
            stream = takeStreamLocked();
    }
    if (!stream)
        return;
    stream->removeOutput(StreamOutputType::audio);
    stopCaptureFireAndForget(stream, rebuild->reason);
}

void SystemAudioSource::rebuildFinish(const std::shared_ptr<Rebuild>& rebuild) {
    if (std::exchange(rebuild->finished, true))
        return;
    bool retry = false;
    {
        util::MutexLock lock(stateLock_);
        retry = _recovery.finish(rebuild->ticket, rebuild->succeeded, liveLocked());
    }
    // A failed contention rebuild retries at once rather than waiting for the
    // watchdog to see the stall.
    if (retry)
        scheduleContentionRecovery();
}

}  // namespace ostrovane::sources::system
