#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "dispatch/Clock.h"
#include "dispatch/RepeatingTimer.h"
#include "dispatch/SerialQueue.h"
#include "platform/Applications.h"
#include "platform/CaptureStream.h"
#include "platform/ScreenCapture.h"
#include "protocol/TextChannel.h"
#include "sources/system/RecoveryBudget.h"
#include "sources/system/SystemAudioConversion.h"
#include "sources/system/SystemAudioError.h"
#include "streaming/AudioOutputFormat.h"
#include "streaming/AudioSource.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::sources::system {

// Captures what the computer plays (the system mix without the helper's own
// sound) through the screen-capture service and delivers it as interleaved
// 16-bit stereo at 48 kHz.
//
// start() returns once the capture stream was created and asked to start; the
// service's confirmation arrives later through the capture outcome, which the
// streamer waits for. While active, the source keeps itself streaming without
// any command: a 1 s watchdog notices stalls, stream errors and wake-ups lead
// to a rebuilt stream after a delay, and another application taking the
// capture over is fought with quick retries. Two budgets bound that effort.
//
// Threads: audio buffers arrive on the queue "system.audio" (as its tasks,
// which the provider may run on its capture thread while the queue is idle);
// the watchdog and all recovery decisions run on "system.recovery"; service
// completions and the stream's delegate on platform threads; start/stop on
// the caller's.
// Every callback holds the source weakly, so create it with create().
class SystemAudioSource final : public streaming::NegotiatingAudioSource,
                                public std::enable_shared_from_this<SystemAudioSource> {
  public:
    // What the source needs from its surroundings. The text channel and the
    // clock must outlive the source.
    struct Dependencies {
        std::shared_ptr<platform::ScreenCapture> screenCapture;
        std::shared_ptr<platform::Applications> applications;
        const protocol::TextChannel& text;
        dispatch::Clock& clock;
    };

    static constexpr double callbackStallTimeout = 10.0;
    static constexpr double contentionStallTimeout = 2.0;
    static constexpr double callbackWatchdogInterval = 1.0;
    static constexpr double recoveryDelay = 2.5;
    static constexpr double recoveryWindowSeconds = 300.0;
    static constexpr std::int64_t recoveryMaxAttempts = 3;
    static constexpr double contentionRecoveryDelay = 0.2;
    static constexpr std::int64_t contentionMaxAttempts = 15;
    static constexpr double contentionWindowSeconds = 60.0;

    // Builds the source and registers it for the system-did-wake notification.
    static std::shared_ptr<SystemAudioSource> create(Dependencies dependencies);

    class Key {
        friend class SystemAudioSource;
        Key() = default;
    };
    SystemAudioSource(Key, Dependencies dependencies);
    ~SystemAudioSource() override;

    SystemAudioSource(const SystemAudioSource&) = delete;
    SystemAudioSource& operator=(const SystemAudioSource&) = delete;

    // ---- AudioSource ----
    std::string sourceID() const override { return "system"; }
    protocol::AudioProtocol::FrameType frameType() const override {
        return protocol::AudioProtocol::FrameType::system;
    }
    void start(StartCompletion completion) override;
    void stop(StopCompletion completion) override;
    bool isActive() const override;

    // ---- NegotiatingAudioSource ----
    void setOnCaptureOutcome(CaptureOutcome outcome) override;
    void forceCleanup() override;
    bool isPermissionDenied(const platform::Error& error) const override;

    // A consistent view of the source's state, for diagnostics and tests.
    struct Status {
        bool isActive = false;
        bool isStopping = false;
        bool hasStream = false;
        bool watchdogRunning = false;
        bool streamRecoveryScheduled = false;
        bool inContentionRecovery = false;
        std::int64_t recoveryAttempts = 0;
        std::int64_t contentionRecoveryAttempts = 0;
        std::uint64_t sessionGeneration = 0;
        std::uint64_t recoveryNonce = 0;
        std::int64_t callbackCount = 0;
        std::optional<double> lastCallbackAt;  // seconds of uptime
    };
    Status status() const;

  private:
    struct Rebuild;
    using StreamPtr = std::shared_ptr<platform::CaptureStream>;
    using StreamId = std::uint64_t;  // 0: no stream

    void log(std::string_view message) const;
    double now() const { return clock_.uptimeSeconds(); }

    // ---- start and stop (SystemAudioSource.cpp) ----
    // The first listed display's filter, else the platform's display-less
    // one where it has one; nothing when there is neither.
    std::optional<platform::ContentFilter> audioFilterOf(
        const platform::Result<platform::ShareableContent>& content) const;
    void continueStart(std::uint64_t generation,
                       const platform::Result<platform::ShareableContent>& content,
                       const StartCompletion& completion);
    void failStart(std::uint64_t generation, platform::Error error,
                   const StartCompletion& completion);
    void captureStartCompleted(StreamId id, const platform::MaybeError& error);
    void finishStop();
    platform::StreamConfiguration audioStreamConfiguration() const;
    // Registers the audio output of a new stream and the delegate behind it.
    StreamPtr makeStream(const platform::ContentFilter& filter,
                         const platform::StreamConfiguration& configuration, StreamId id);
    platform::MaybeError addAudioOutput(const StreamPtr& stream, StreamId id);
    void stopCaptureFireAndForget(const StreamPtr& stream, const std::string& reason);

    // ---- the sample path (SystemAudioSource.cpp) ----
    void handleSampleBuffer(StreamId id,
                            const std::shared_ptr<const platform::SampleBuffer>& buffer);

    // ---- recovery (SystemAudioRecovery.cpp) ----
    void registerForWakeNotifications();
    void startCallbackWatchdogLocked(std::unique_ptr<dispatch::RepeatingTimer>& previous)
        REQUIRES(stateLock_);
    void stopCallbackWatchdog();
    void watchdogTick();
    void handleStreamStopped(StreamId id, const platform::StreamStopError& error);
    void scheduleStreamRecovery(std::string reason);
    void scheduleContentionRecovery();
    void runScheduleStreamRecovery(const std::string& reason);
    void runScheduleContentionRecovery();
    void rebuildStream(const std::string& reason, const RecoveryTicket& ticket);
    void rebuildBegin(const std::shared_ptr<Rebuild>& rebuild);
    void rebuildQueryContent(const std::shared_ptr<Rebuild>& rebuild);
    void rebuildWithContent(const std::shared_ptr<Rebuild>& rebuild,
                            const platform::Result<platform::ShareableContent>& content);
    void rebuildStarted(const std::shared_ptr<Rebuild>& rebuild, const platform::MaybeError& error);
    void rebuildCleanUpStream(const std::shared_ptr<Rebuild>& rebuild);
    void rebuildFinish(const std::shared_ptr<Rebuild>& rebuild);

    // ---- helpers whose body runs under stateLock_ ----
    bool liveLocked() const REQUIRES(stateLock_) { return _isActive && !_isStopping; }
    bool isCurrentStreamLocked(StreamId id) const REQUIRES(stateLock_) {
        return id != 0 && _streamId == id;
    }
    StreamPtr takeStreamLocked() REQUIRES(stateLock_);
    void setStreamConfigLocked(const platform::ContentFilter& filter,
                               const platform::StreamConfiguration& configuration, StreamPtr stream,
                               StreamId id) REQUIRES(stateLock_);
    void setActiveLocked(bool active) REQUIRES(stateLock_);
    void resetCallbackStateLocked() REQUIRES(stateLock_);
    std::optional<double> callbackAgeSecondsLocked(double now) const REQUIRES(stateLock_);

    const std::shared_ptr<platform::ScreenCapture> screenCapture_;
    const std::shared_ptr<platform::Applications> applications_;
    const protocol::TextChannel& text_;
    dispatch::Clock& clock_;
    const std::int64_t targetSampleRate_ = streaming::AudioOutputFormat::sampleRate;
    const std::int64_t targetChannels_ = streaming::AudioOutputFormat::channels;
    std::optional<platform::WakeObserverToken> wakeObserver_;  // written once, by create()

    mutable util::Mutex stateLock_;
    bool _isActive GUARDED_BY(stateLock_) = false;
    bool _isStopping GUARDED_BY(stateLock_) = false;
    StreamPtr _stream GUARDED_BY(stateLock_);
    StreamId _streamId GUARDED_BY(stateLock_) = 0;
    StreamId _lastStreamId GUARDED_BY(stateLock_) = 0;
    std::optional<platform::StreamConfiguration> _streamConfiguration GUARDED_BY(stateLock_);
    std::optional<platform::ContentFilter> _streamContentFilter GUARDED_BY(stateLock_);
    RecoveryBudget _recovery GUARDED_BY(stateLock_);
    // Seconds of uptime; nothing: no audio yet.
    std::optional<double> _lastCallbackAt GUARDED_BY(stateLock_);
    std::int64_t _callbackCount GUARDED_BY(stateLock_) = 0;
    bool _firstCallback GUARDED_BY(stateLock_) = true;
    std::shared_ptr<const CaptureOutcome> _onCaptureOutcome GUARDED_BY(stateLock_);

    // Touched only on systemAudioQueue_.
    SystemAudioConversion conversion_;

    // Declared after everything their tasks touch, so they are joined first.
    dispatch::SerialQueue streamRecoveryQueue_;
    dispatch::SerialQueue systemAudioQueue_;
    std::unique_ptr<dispatch::RepeatingTimer> _callbackWatchdog GUARDED_BY(stateLock_);
};

}  // namespace ostrovane::sources::system
