#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "dispatch/Clock.h"
#include "dispatch/RepeatingTimer.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/WorkItem.h"
#include "platform/AudioCaptureDevices.h"
#include "platform/AudioCaptureSession.h"
#include "platform/AudioHardware.h"
#include "platform/SampleBuffer.h"
#include "protocol/TextChannel.h"
#include "sources/mic/DeviceDiagnostics.h"
#include "sources/mic/MicrophoneError.h"
#include "sources/mic/SilenceDetector.h"
#include "streaming/AudioConverterPipeline.h"
#include "streaming/AudioSource.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::sources::mic {

// The live microphone: one capture session, always on the system's default
// audio input device, delivering interleaved 16-bit stereo at 48 kHz.
//
// It follows the default device (debounced by 0.3 s), restarts the session
// after runtime errors and interruptions (and, when such a restart fails,
// reports the device as gone and starts again on the next default input
// device that appears while it is still wanted), restarts it on the same device when
// the input goes silent for 8 s (at most three times, then it reports the
// failure), reports a device that stops delivering buffers for 10 s, and
// writes "DEVICE_DIAGNOSTIC:" records at start, every 50 s and on request.
//
// Threads:
// - "mic.session" (sessionQueue_): every session change (configuration,
//   start, stop, reconfiguration, recovery) and the 1 s callback watchdog.
// - "mic.processing" (processingQueue_): captured buffers, one at a time, and
//   the pipeline resets; the pipeline is touched nowhere else. A provider may
//   run a buffer's task on its own capture thread while the queue is idle,
//   so nothing on this path waits for the platform.
// - "mic.utility" (utilityQueue_): the recovery status lines and the periodic
//   status diagnostic, off the capture path.
// - platform threads: the permission answer, the default-device listener and
//   the session's notifications, which only log and queue work.
// stateLock_ guards the underscored fields, is held only for short reads and
// updates, and never across a platform call, a log line or onAudioData.
//
// Lifecycle: create() → start → stop → (start → stop)* → release. stop()
// keeps the session's input and output, the device listener and the session
// observers; releasing the source removes them and stops the session. Every
// callback, timer and queued task holds the source weakly.
class MicrophoneSource final : public streaming::AudioSource,
                               public std::enable_shared_from_this<MicrophoneSource> {
  public:
    // What the source needs from its surroundings. The text channel and the
    // clock must outlive the source.
    struct Dependencies {
        std::shared_ptr<platform::AudioCaptureDevices> audioCapture;
        std::shared_ptr<platform::AudioHardware> audioHardware;
        const protocol::TextChannel& text;
        dispatch::Clock& clock;
    };

    static constexpr double deviceChangeDebounce = 0.3;
    static constexpr double watchdogInterval = 1.0;
    static constexpr double callbackStallTimeout = 10.0;
    static constexpr double statusDiagnosticInterval = 50.0;
    static constexpr double silenceRecoveryPause = 0.3;

    // Builds the source, observes its session and registers for changes of
    // the default input device.
    static std::shared_ptr<MicrophoneSource> create(Dependencies dependencies);

    class Key {
        friend class MicrophoneSource;
        Key() = default;
    };
    MicrophoneSource(Key, Dependencies dependencies);
    ~MicrophoneSource() override;

    MicrophoneSource(const MicrophoneSource&) = delete;
    MicrophoneSource& operator=(const MicrophoneSource&) = delete;

    // ---- AudioSource ----
    std::string sourceID() const override { return "mic"; }
    protocol::AudioProtocol::FrameType frameType() const override {
        return protocol::AudioProtocol::FrameType::mic;
    }
    // Fails with a MicrophoneError (see makeError). A start while active
    // succeeds without changing anything.
    void start(StartCompletion completion) override;
    void stop(StopCompletion completion) override;
    bool isActive() const override;

    // The unique identifier of the device in the session; nothing before the
    // first successful configuration.
    std::optional<std::string> selectedDeviceID() const;

    // Writes a "capture_problem" diagnostic carrying `reason`. Any thread.
    void emitCaptureProblemDiagnostic(const std::string& reason);

  private:
    // Answers a start exactly once, also when its task is dropped unrun.
    class StartAnswer;

    // ---- lifecycle and session (MicrophoneSource.cpp) ----
    void observeSessionAndDevices();
    void startOnSessionQueue(const std::shared_ptr<StartAnswer>& answer);
    void stopOnSessionQueue();
    // Builds the session for the current default device. Session queue only.
    bool setupSessionLocked();
    void queuePipelineReset();

    // ---- device following, runtime errors, interruptions (MicDeviceFollowing.cpp) ----
    void handleDeviceChange();
    void reconfigureForDeviceChange();
    void handleRuntimeError(const std::optional<platform::Error>& error);
    void recoverFromRuntimeError();
    void handleInterruption(const std::map<std::string, std::string>& userInfo);
    void handleInterruptionEnded();
    void resumeAfterInterruption();
    // A restart by one of the recovery paths did not run: the source goes
    // inactive and the parent is told that the device is gone.
    void failRecovery(std::string_view what);
    // Back on the default device after a failed recovery. Session queue only.
    void resumeOnReturnedDevice();

    // ---- the sample path (MicSampleProcessor.cpp) ----
    void processSampleBuffer(const platform::SampleBuffer& buffer);
    void noteMonoFallback(const platform::StreamDescription& description);

    // ---- silence recovery and watchdog (MicSilenceRecovery.cpp) ----
    void handleSilenceAction(const SilenceDetector::Action& action);
    void performAggressiveSilenceRecovery();
    void finishAggressiveSilenceRecovery(std::uint64_t epoch);
    void emitRecoveryFailed(const std::string& reason, std::int64_t attempts);
    void startMicCallbackWatchdog();
    void watchdogTick();

    // ---- diagnostics (MicDiagnostics.cpp) ----
    void emitCaptureStartDiagnostic();
    void emitCaptureStatusDiagnostic(double avgRms, std::int64_t totalFrames);
    void emitDeviceDiagnostic(const DeviceDiagnostic& diagnostic);

    // ---- helpers ----
    // "[Native Mic] " + message.
    void log(std::string_view message) const;
    // A status line of its own, without prefix.
    void writeStatus(std::string_view line) const;
    double now() const { return clock_.uptimeSeconds(); }
    void setInactiveLocked() { _isActive = false; }
    // `message`, followed by the session's reason when it gave one.
    std::string withStartCause(std::string_view message) const;
    void resetCountersLocked(double now);

    const std::shared_ptr<platform::AudioCaptureDevices> audioCapture_;
    const std::shared_ptr<platform::AudioHardware> audioHardware_;
    const protocol::TextChannel& text_;
    dispatch::Clock& clock_;

    mutable util::Mutex stateLock_;
    bool _isActive = false;
    std::int64_t _callbackCount = 0;
    double _cumulativeRMS = 0;
    std::int64_t _rmsFrameCount = 0;
    std::int64_t _totalFrameCount = 0;
    double _lastDiagnosticTime = 0;  // seconds of uptime
    bool _loggedMonoFallback = false;
    std::string _selectedDeviceID;
    std::string _selectedDeviceName;
    SilenceDetector _silenceDetector;
    double _lastCallbackAt = 0;  // seconds of uptime
    bool _micStallReported = false;
    // Inactive because a recovery could not restart the session while the
    // owner still wants audio: the next default-device change restarts it.
    bool _deviceLost = false;
    std::shared_ptr<dispatch::WorkItem> _deviceChangeWorkItem;
    std::unique_ptr<dispatch::RepeatingTimer> _micCallbackWatchdog;

    // Written once by create(); read by the destructor.
    std::optional<platform::ListenerRegistration> deviceChangeListener_;

    // Session queue only. Bumped by every start, stop and rebuild of the
    // session, so that the second half of a silence recovery (after its
    // pause) sees that the session was changed under it and leaves it alone.
    std::uint64_t sessionEpoch_ = 0;
    // Session queue only. A silence recovery is in its pause with the
    // session stopped on purpose; an interruption ending meanwhile leaves the
    // restart to the recovery.
    bool silenceRecoveryPausing_ = false;

    // Created once; configured and run from the session queue only.
    const std::shared_ptr<platform::AudioCaptureSession> session_;

    // Processing queue only.
    streaming::AudioConverterPipeline pipeline_;

    // Declared last: destroyed (and joined) first, before the fields their
    // tasks touch.
    dispatch::SerialQueue utilityQueue_;
    dispatch::SerialQueue processingQueue_;
    dispatch::SerialQueue sessionQueue_;
};

}  // namespace ostrovane::sources::mic
