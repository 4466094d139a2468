// Silent-input recovery and the callback watchdog.
#include "sources/mic/MicText.h"
#include "sources/mic/MicrophoneSource.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::sources::mic {

namespace {

constexpr std::string_view kSilentInputReason =
    "Your microphone is producing no audio \u2014 try switching your input device (e.g. unpair "
    "Bluetooth headphones)";
constexpr std::string_view kStoppedDeliveringReason = "microphone_stopped_delivering_audio";

}  // namespace

// On the processing queue. The status lines leave from the utility queue, so
// the capture path never waits for them.
void MicrophoneSource::handleSilenceAction(const SilenceDetector::Action& action) {
    using Kind = SilenceDetector::Action::Kind;
    const std::weak_ptr<MicrophoneSource> weak = weak_from_this();
    switch (action.kind) {
        case Kind::none:
            return;
        case Kind::attemptRecovery:
            utilityQueue_.async([weak, action] {
                auto self = weak.lock();
                if (!self)
                    return;
                self->writeStatus("RECOVERY_ATTEMPT:" + std::to_string(action.attempt) + ":" +
                                  std::to_string(action.maxAttempts) +
                                  ":microphone is producing no audio");
                self->sessionQueue_.async([weak] {
                    if (auto source = weak.lock())
                        source->performAggressiveSilenceRecovery();
                });
            });
            return;
        case Kind::recovered:
            utilityQueue_.async([weak] {
                if (auto self = weak.lock())
                    self->writeStatus("RECOVERY_SUCCESS");
            });
            return;
        case Kind::failed:
            utilityQueue_.async([weak, attempts = action.attempt] {
                if (auto self = weak.lock())
                    self->emitRecoveryFailed(std::string(kSilentInputReason), attempts);
            });
            return;
    }
}

// On the session queue: restart the session on the same device. The pause
// between tearing the input down and rebuilding it is scheduled rather than
// slept, so the queue stays free; whatever changes the session during the
// pause (stop, start, device change) supersedes the rebuild.
void MicrophoneSource::performAggressiveSilenceRecovery() {
    {
        util::MutexLock lock(stateLock_);
        if (!_isActive) {
            _silenceDetector.recoveryFinished();
            return;
        }
    }
    log(std::string(kWarningSign) +
        " Silent input detected \u2014 attempting aggressive same-device recovery (no device "
        "switch)");
    if (session_->isRunning())
        session_->stopRunning();
    queuePipelineReset();
    session_->beginConfiguration();
    for (const auto& input : session_->inputs())
        session_->removeInput(input);
    session_->commitConfiguration();

    const std::uint64_t epoch = ++sessionEpoch_;
    silenceRecoveryPausing_ = true;
    sessionQueue_.asyncAfter(dispatch::seconds(silenceRecoveryPause),
                             [weak = weak_from_this(), epoch] {
                                 if (auto self = weak.lock())
                                     self->finishAggressiveSilenceRecovery(epoch);
                             });
}

void MicrophoneSource::finishAggressiveSilenceRecovery(std::uint64_t epoch) {
    silenceRecoveryPausing_ = false;
    if (epoch == sessionEpoch_) {
        if (setupSessionLocked())
            session_->startRunning();
        if (session_->isRunning()) {
            log("Silent-input recovery: session restarted on same device");
        } else {
            log(std::string(kWarningSign) + " Silent-input recovery: session failed to restart");
        }
    }
    util::MutexLock lock(stateLock_);
    _silenceDetector.recoveryFinished();
}

void MicrophoneSource::emitRecoveryFailed(const std::string& reason, std::int64_t attempts) {
    writeStatus("RECOVERY_FAILED:" + reason + ":" + std::to_string(attempts));
}

// On the session queue (start).
void MicrophoneSource::startMicCallbackWatchdog() {
    std::unique_ptr<dispatch::RepeatingTimer> previous;
    {
        util::MutexLock lock(stateLock_);
        previous = std::move(_micCallbackWatchdog);
    }
    if (previous)
        previous->cancel();
    auto timer = std::make_unique<dispatch::RepeatingTimer>(
        sessionQueue_, dispatch::seconds(watchdogInterval), dispatch::Duration{0},
        [weak = weak_from_this()] {
            if (auto self = weak.lock())
                self->watchdogTick();
        });
    util::MutexLock lock(stateLock_);
    _micCallbackWatchdog = std::move(timer);
    _micCallbackWatchdog->start(dispatch::seconds(watchdogInterval));
}

// One report per gap: the next measured buffer clears _micStallReported.
void MicrophoneSource::watchdogTick() {
    std::optional<double> gap;
    {
        util::MutexLock lock(stateLock_);
        if (!_isActive)
            return;
        const double sinceLast = now() - _lastCallbackAt;
        if (sinceLast >= callbackStallTimeout && !_micStallReported) {
            _micStallReported = true;
            gap = sinceLast;
        }
    }
    if (!gap)
        return;
    log(std::string(kWarningSign) + " No mic callbacks for " +
        std::to_string(static_cast<std::int64_t>(*gap)) +
        "s while active \u2014 input stopped delivering frames");
    emitRecoveryFailed(std::string(kStoppedDeliveringReason), 0);
}

}  // namespace ostrovane::sources::mic
