// Following the default input device, and recovering from session runtime
// errors and interruptions.
#include "sources/mic/MicText.h"
#include "sources/mic/MicrophoneSource.h"

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
        std::lock_guard lock(stateLock_);
        previous = std::exchange(_deviceChangeWorkItem, item);
    }
    if (previous)
        previous->cancel();
    sessionQueue_.asyncAfter(dispatch::seconds(deviceChangeDebounce), item);
}

void MicrophoneSource::reconfigureForDeviceChange() {
    bool wasActive;
    {
        std::lock_guard lock(stateLock_);
        wasActive = _isActive;
    }
    log(std::string("Default device changed, reconfiguring (wasActive=") + boolText(wasActive) +
        ")...");
    {
        std::lock_guard lock(stateLock_);
        _silenceDetector.reset();
    }
    if (session_->isRunning())
        session_->stopRunning();
    // The new device may deliver another format: the converter is rebuilt.
    queuePipelineReset();
    setupSessionLocked();
    ++sessionEpoch_;
    if (!wasActive)
        return;  // left configured for the new device, and stopped
    session_->startRunning();
    if (session_->isRunning()) {
        log("Session restarted after device change");
        emitCaptureStartDiagnostic();
        return;
    }
    log(critical("Session failed to restart after device change - marking inactive"));
    std::lock_guard lock(stateLock_);
    setInactiveLocked();
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
        std::lock_guard lock(stateLock_);
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
    log(critical("Session failed to restart after runtime error - marking inactive"));
    std::lock_guard lock(stateLock_);
    setInactiveLocked();
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
        std::lock_guard lock(stateLock_);
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
    log(critical("Session failed to resume after interruption - marking inactive"));
    std::lock_guard lock(stateLock_);
    setInactiveLocked();
}

}  // namespace ostrovane::sources::mic
