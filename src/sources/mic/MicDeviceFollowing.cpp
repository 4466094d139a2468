// Following the default input device, and recovering from session runtime
// errors and interruptions.
#include "sources/mic/MicText.h"

#include <cassert>
#include "sources/mic/MicrophoneSource.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::sources::mic {

namespace {

const char* boolText(bool value) {
    return value ? "true" : "false";
}

// The interruption's details as one line: [:] when there are none.
std::string dictionaryText(const std::map<std::string, std::string>& info) {
    if (info.empty())
        return "[:]";
    std::string out = "[";
    bool first = true;
    for (const auto& [key, value] : info) {
        if (!first)
            out += ", ";
        first = false;
        out += "\"" + key + "\": \"" + value + "\"";
    }
    return out + "]";
}

// The status reason of a recovery that found no device to restart on.
constexpr std::string_view kDeviceUnavailableReason = "microphone_device_unavailable";

std::string critical(std::string_view message) {
    return std::string(kWarningSign).append(" CRITICAL: ").append(message);
}

}  // namespace

// On the hardware's notification thread: a burst of changes leads to one
// reconfiguration, 0.3 s after the last of them.
void MicrophoneSource::handleDeviceChange() {
    auto item = dispatch::WorkItem::make([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->reconfigureForDeviceChange();
    });
    std::shared_ptr<dispatch::WorkItem> previous;
    {
        util::MutexLock lock(stateLock_);
        previous = std::exchange(_deviceChangeWorkItem, item);
    }
    if (previous)
        previous->cancel();
    sessionQueue_.asyncAfter(dispatch::seconds(deviceChangeDebounce), item);
}

void MicrophoneSource::reconfigureForDeviceChange() {
    bool wasActive;
    bool deviceLost;
    {
        util::MutexLock lock(stateLock_);
        wasActive = _isActive;
        deviceLost = _deviceLost;
    }
    log(std::string("Default device changed, reconfiguring (wasActive=") + boolText(wasActive) +
        ")...");
    {
        util::MutexLock lock(stateLock_);
        _silenceDetector.reset();
    }
    if (session_->isRunning())
        session_->stopRunning();
    // The new device may deliver another format: the converter is rebuilt.
    queuePipelineReset();
    setupSessionLocked();
    ++sessionEpoch_;
    if (deviceLost) {
        resumeOnReturnedDevice();
        return;
    }
    if (!wasActive)
        return;  // left configured for the new device, and stopped
    session_->startRunning();
    if (session_->isRunning()) {
        log("Session restarted after device change");
        emitCaptureStartDiagnostic();
        return;
    }
    failRecovery("Session failed to restart after device change - marking inactive");
}

void MicrophoneSource::resumeOnReturnedDevice() {
    assert(sessionQueue_.isCurrent());
    session_->startRunning();
    // Still no usable device: the parent has been told, the next change
    // tries again.
    if (!session_->isRunning())
        return;
    {
        util::MutexLock lock(stateLock_);
        _isActive = true;
        _deviceLost = false;
        resetCountersLocked(now());
    }
    log("Input device available again - capture restarted");
    emitCaptureStartDiagnostic();
}

void MicrophoneSource::failRecovery(std::string_view what) {
    log(critical(withStartCause(what)));
    {
        util::MutexLock lock(stateLock_);
        setInactiveLocked();
        _deviceLost = true;
    }
    emitRecoveryFailed(std::string(kDeviceUnavailableReason), 1);
}

void MicrophoneSource::handleRuntimeError(const std::optional<platform::Error>& error) {
    if (!error) {
        log("Runtime error (no error in userInfo)");
        return;
    }
    log(std::string(kWarningSign) + " Runtime error: " + error->localizedDescription());
    sessionQueue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->recoverFromRuntimeError();
    });
}

void MicrophoneSource::recoverFromRuntimeError() {
    {
        util::MutexLock lock(stateLock_);
        if (!_isActive)
            return;
    }
    log("Attempting to recover from runtime error...");
    if (session_->isRunning())
        session_->stopRunning();
    queuePipelineReset();
    setupSessionLocked();
    ++sessionEpoch_;
    session_->startRunning();
    if (session_->isRunning()) {
        log("Session restarted after runtime error");
        return;
    }
    failRecovery("Session failed to restart after runtime error - marking inactive");
}

void MicrophoneSource::handleInterruption(const std::map<std::string, std::string>& userInfo) {
    log("Session interrupted: " + dictionaryText(userInfo));
}

void MicrophoneSource::handleInterruptionEnded() {
    log("Session interruption ended - resuming if active");
    sessionQueue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->resumeAfterInterruption();
    });
}

void MicrophoneSource::resumeAfterInterruption() {
    {
        util::MutexLock lock(stateLock_);
        if (!_isActive)
            return;
    }
    if (session_->isRunning() || silenceRecoveryPausing_)
        return;
    session_->startRunning();
    if (session_->isRunning()) {
        log("Session resumed after interruption");
        return;
    }
    failRecovery("Session failed to resume after interruption - marking inactive");
}

}  // namespace ostrovane::sources::mic
