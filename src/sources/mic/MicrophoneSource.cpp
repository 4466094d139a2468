#include "sources/mic/MicrophoneSource.h"

#include <cassert>
#include <utility>

#include "sources/mic/MicText.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::sources::mic {

using platform::MaybeError;

// Answers a start exactly once. A start whose task never runs (the source was
// released, its queue dropped the task) is answered with sessionStartFailed
// when the last holder lets go.
class MicrophoneSource::StartAnswer {
  public:
    explicit StartAnswer(StartCompletion completion) : completion_(std::move(completion)) {}
    ~StartAnswer() { finish(makeError(MicrophoneError::sessionStartFailed)); }
    StartAnswer(const StartAnswer&) = delete;
    StartAnswer& operator=(const StartAnswer&) = delete;

    void finish(MaybeError error) {
        if (auto completion = std::exchange(completion_, nullptr))
            completion(std::move(error));
    }

  private:
    StartCompletion completion_;
};

namespace {

// Answers a stop exactly once, also when its task is dropped unrun.
class StopAnswer {
  public:
    explicit StopAnswer(streaming::AudioSource::StopCompletion completion)
        : completion_(std::move(completion)) {}
    ~StopAnswer() { finish(); }
    StopAnswer(const StopAnswer&) = delete;
    StopAnswer& operator=(const StopAnswer&) = delete;

    void finish() {
        if (auto completion = std::exchange(completion_, nullptr))
            completion();
    }

  private:
    streaming::AudioSource::StopCompletion completion_;
};

const char* boolText(bool value) {
    return value ? "true" : "false";
}

}  // namespace

std::shared_ptr<MicrophoneSource> MicrophoneSource::create(Dependencies dependencies) {
    auto source = std::make_shared<MicrophoneSource>(Key{}, std::move(dependencies));
    source->observeSessionAndDevices();
    return source;
}

MicrophoneSource::MicrophoneSource(Key, Dependencies dependencies)
    : audioCapture_(std::move(dependencies.audioCapture)),
      audioHardware_(std::move(dependencies.audioHardware)),
      text_(dependencies.text),
      clock_(dependencies.clock),
      session_(audioCapture_->makeSession()),
      pipeline_([&text = text_](const std::string& message) {
          text.writeLine(std::string(kMicPipelinePrefix).append(message));
      }),
      utilityQueue_(clock_, "mic.utility"),
      processingQueue_(clock_, "mic.processing"),
      sessionQueue_(clock_, "mic.session") {}

MicrophoneSource::~MicrophoneSource() {
    if (deviceChangeListener_)
        audioHardware_->removeListener(*deviceChangeListener_);
    session_->setNotifications({});
    std::unique_ptr<dispatch::RepeatingTimer> watchdog;
    std::shared_ptr<dispatch::WorkItem> deviceChange;
    {
        util::MutexLock lock(stateLock_);
        watchdog = std::move(_micCallbackWatchdog);
        deviceChange = std::move(_deviceChangeWorkItem);
    }
    if (watchdog)
        watchdog->cancel();
    if (deviceChange)
        deviceChange->cancel();
    // The session queue dies with the source, so the session is stopped here;
    // no task of that queue can run now, since each would hold the source.
    if (session_->isRunning())
        session_->stopRunning();
}

void MicrophoneSource::observeSessionAndDevices() {
    const std::weak_ptr<MicrophoneSource> weak = weak_from_this();
    session_->setNotifications(platform::SessionNotifications{
        .runtimeError =
            [weak](std::optional<platform::Error> error) {
                if (auto self = weak.lock())
                    self->handleRuntimeError(error);
            },
        .interrupted =
            [weak](std::map<std::string, std::string> userInfo) {
                if (auto self = weak.lock())
                    self->handleInterruption(userInfo);
            },
        .interruptionEnded =
            [weak] {
                if (auto self = weak.lock())
                    self->handleInterruptionEnded();
            },
    });
    const platform::PropertyAddress address{platform::kSystemObject,
                                            platform::HardwareProperty::defaultInputDevice,
                                            platform::Scope::global};
    auto registration = audioHardware_->addListener(address, [weak] {
        if (auto self = weak.lock())
            self->handleDeviceChange();
    });
    if (registration.ok()) {
        deviceChangeListener_ = registration.value();
    } else {
        log("Failed to register default device listener: " + std::to_string(registration.status()));
    }
}

// ---- helpers ----

void MicrophoneSource::log(std::string_view message) const {
    text_.writeLine(std::string(kNativeMicPrefix).append(message));
}

void MicrophoneSource::writeStatus(std::string_view line) const {
    text_.writeLine(line);
}

std::string MicrophoneSource::withStartCause(std::string_view message) const {
    std::string line(message);
    if (auto cause = session_->startError())
        line.append(": ").append(cause->localizedDescription());
    return line;
}

void MicrophoneSource::resetCountersLocked(double now) {
    _callbackCount = 0;
    _cumulativeRMS = 0;
    _rmsFrameCount = 0;
    _totalFrameCount = 0;
    _lastDiagnosticTime = now;
    _loggedMonoFallback = false;
    _silenceDetector.reset();
    _lastCallbackAt = now;
    _micStallReported = false;
}

bool MicrophoneSource::isActive() const {
    util::MutexLock lock(stateLock_);
    return _isActive;
}

std::optional<std::string> MicrophoneSource::selectedDeviceID() const {
    util::MutexLock lock(stateLock_);
    if (_selectedDeviceID.empty())
        return std::nullopt;
    return _selectedDeviceID;
}

void MicrophoneSource::queuePipelineReset() {
    processingQueue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->pipeline_.reset();
    });
}

// ---- start and stop ----

void MicrophoneSource::start(StartCompletion completion) {
    log("Starting...");
    auto answer = std::make_shared<StartAnswer>(std::move(completion));
    audioCapture_->requestAccess([weak = weak_from_this(), answer](bool granted) {
        auto self = weak.lock();
        if (!self)
            return;  // answered as sessionStartFailed when `answer` is let go
        if (!granted) {
            self->log("Permission denied");
            answer->finish(makeError(MicrophoneError::permissionDenied));
            return;
        }
        self->sessionQueue_.async([weak, answer] {
            if (auto source = weak.lock())
                source->startOnSessionQueue(answer);
        });
    });
}

void MicrophoneSource::startOnSessionQueue(const std::shared_ptr<StartAnswer>& answer) {
    assert(sessionQueue_.isCurrent());
    bool alreadyActive;
    {
        util::MutexLock lock(stateLock_);
        alreadyActive = _isActive;
    }
    if (alreadyActive) {
        answer->finish(std::nullopt);
        return;
    }
    if (!setupSessionLocked()) {
        log("Session configuration failed (no inputs)");
        answer->finish(makeError(MicrophoneError::sessionStartFailed));
        return;
    }
    if (!session_->isRunning())
        session_->startRunning();
    if (!session_->isRunning()) {
        log(withStartCause("Session failed to start"));
        answer->finish(makeError(MicrophoneError::sessionStartFailed));
        return;
    }
    {
        util::MutexLock lock(stateLock_);
        _isActive = true;
        _deviceLost = false;
        resetCountersLocked(now());
    }
    ++sessionEpoch_;
    startMicCallbackWatchdog();
    emitCaptureStartDiagnostic();
    log(std::string("Started successfully, session.isRunning=") + boolText(session_->isRunning()));
    answer->finish(std::nullopt);
}

void MicrophoneSource::stop(StopCompletion completion) {
    log("Stopping...");
    auto answer = std::make_shared<StopAnswer>(std::move(completion));
    sessionQueue_.async([weak = weak_from_this(), answer] {
        if (auto self = weak.lock())
            self->stopOnSessionQueue();
        answer->finish();
    });
}

void MicrophoneSource::stopOnSessionQueue() {
    assert(sessionQueue_.isCurrent());
    std::unique_ptr<dispatch::RepeatingTimer> watchdog;
    bool wasActive;
    {
        util::MutexLock lock(stateLock_);
        wasActive = _isActive;
        _deviceLost = false;
        // Also when a failed restart already made the source inactive: the
        // idle watchdog would otherwise tick until the next start.
        watchdog = std::move(_micCallbackWatchdog);
    }
    if (watchdog)
        watchdog->cancel();
    if (!wasActive)
        return;
    if (session_->isRunning())
        session_->stopRunning();
    {
        util::MutexLock lock(stateLock_);
        _isActive = false;
    }
    ++sessionEpoch_;
    log("Stopped");
}

// ---- the session ----

bool MicrophoneSource::setupSessionLocked() {
    assert(sessionQueue_.isCurrent());
    session_->beginConfiguration();
    for (const auto& input : session_->inputs())
        session_->removeInput(input);

    const std::optional<platform::CaptureDevice> device = audioCapture_->defaultDevice();
    if (!device) {
        log("No default audio device found");
        session_->commitConfiguration();
        return false;
    }
    auto input = audioCapture_->makeInput(*device);
    if (!input.ok()) {
        log("Failed to create input: " + input.error().localizedDescription());
        session_->commitConfiguration();
        return false;
    }
    if (!session_->canAddInput(input.value())) {
        log("Cannot add input for device: " + device->localizedName);
        session_->commitConfiguration();
        return false;
    }
    session_->addInput(input.value());
    {
        util::MutexLock lock(stateLock_);
        _selectedDeviceID = device->uniqueId;
        _selectedDeviceName = device->localizedName;
    }
    log("Using device: " + device->localizedName);

    // The output (and its handler) is made once and kept across rebuilds.
    if (session_->outputs().empty()) {
        auto output = audioCapture_->makeAudioDataOutput();
        if (!output || !session_->canAddOutput(output)) {
            log("Cannot add audio output");
            session_->commitConfiguration();
            return false;
        }
        session_->addOutput(output);
        output->setSampleBufferHandler(
            [weak = weak_from_this()](std::shared_ptr<const platform::SampleBuffer> buffer) {
                auto self = weak.lock();
                if (self && buffer)
                    self->processSampleBuffer(*buffer);
            },
            processingQueue_.ref());
        log("Audio output added");
    }

    const bool configured = !session_->inputs().empty();
    if (!configured)
        log("No audio inputs configured after setup");
    session_->commitConfiguration();
    return configured;
}

}  // namespace ostrovane::sources::mic
