#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "dispatch/BackgroundTask.h"
#include "dispatch/SerialQueue.h"
#include "platform/PlatformError.h"
#include "streaming/AudioSource.h"
#include "streaming/LoopEnd.h"
#include "streaming/StreamDataPath.h"
#include "streaming/StreamerEnvironment.h"
#include "streaming/StreamingAckError.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::streaming {

// The streaming engine: owns a microphone source and a system-audio source,
// decides when streaming has really begun, acknowledges that decision exactly
// once, and sends what the sources deliver as paced frames (StreamDataPath).
//
// A system-audio source that negotiates (NegotiatingAudioSource) returns from
// start() before its capture runs, so the start is decided by whichever comes
// first: its capture outcome, a 4-second watchdog, or stop(). Later arrivals
// only log that they lost. A streamer is used for one start and one stop.
//
// Threads: start() and stop() return at once. The start sequence runs on the
// streamer's own queue, capture outcomes on the source's threads, the sender
// loop on a background task. Every callback holds the streamer weakly. The
// destructor stops the sender and releases the sources without waiting for
// them to stop.
class SimpleAudioStreamer : public std::enable_shared_from_this<SimpleAudioStreamer> {
  public:
    // Success (nothing) or the reason the start failed.
    using AckHandler = std::function<void(const platform::MaybeError& result)>;

    static constexpr dispatch::Duration streamingAckWatchdogTimeout = dispatch::seconds(4.0);
    static constexpr dispatch::Duration kSenderPause = dispatch::milliseconds(100);
    static constexpr std::uint64_t kPassesPerBufferStatus = 500;

    // Slots left empty (null) are filled at start from the environment's
    // factories.
    static std::shared_ptr<SimpleAudioStreamer> create(
        StreamerEnvironment environment, std::shared_ptr<AudioSource> micSource = nullptr,
        std::shared_ptr<AudioSource> systemSource = nullptr);

    class Key {
        friend class SimpleAudioStreamer;
        Key() = default;
    };
    SimpleAudioStreamer(Key, StreamerEnvironment environment,
                        std::shared_ptr<AudioSource> micSource,
                        std::shared_ptr<AudioSource> systemSource);
    ~SimpleAudioStreamer();

    SimpleAudioStreamer(const SimpleAudioStreamer&) = delete;
    SimpleAudioStreamer& operator=(const SimpleAudioStreamer&) = delete;

    // Starts both sources; `onAck` is called later, at most once and with no
    // lock held, from whichever thread decides. A stop() that comes first
    // silences it for good.
    void start(AckHandler onAck);

    // Ends streaming, then stops the microphone source and the system source
    // in that order; `completion` runs once both have stopped.
    void stop(std::function<void()> completion);

    std::shared_ptr<AudioSource> micSource() const;
    std::shared_ptr<AudioSource> systemSource() const;
    bool isStreaming() const;

  private:
    struct AckOnce;
    using AckRef = std::shared_ptr<AckOnce>;

    void log(std::string_view message) const;

    // The start sequence, one continuation per awaited source operation.
    void beginStart(const AckRef& ack);
    void afterMicStart(const AckRef& ack, const platform::MaybeError& error);
    void afterSystemStart(const AckRef& ack, const platform::MaybeError& error);
    void armWatchdog(const AckRef& ack);
    void watchdogFired(const AckRef& ack);
    // Runs `step` on the streamer's queue if the streamer still exists.
    void continueOnQueue(std::function<void(SimpleAudioStreamer&)> step);

    void finishStreamingStart(const AckRef& ack, const platform::MaybeError& result);
    void resolveClaimed(const AckRef& ack, const platform::MaybeError& result);
    void finishPendingAck(const AckRef& ack, const platform::MaybeError& result);
    void clearPendingAck(const AckRef& ack);
    void markStopRequestedAndTakePendingAck();
    bool stopRequested() const;
    void setStreaming(bool streaming);
    std::shared_ptr<NegotiatingAudioSource> negotiatingSystemSource() const;

    struct SenderState;
    void startDataStream();
    static void gapWatchLoop(const std::weak_ptr<SimpleAudioStreamer>& weak,
                             dispatch::BackgroundTask::Context& context);
    static void senderLoop(const std::weak_ptr<SimpleAudioStreamer>& weak, SenderState& state,
                           dispatch::BackgroundTask::Context& context);

    StreamerEnvironment env_;
    StreamDataPath dataPath_;

    mutable util::Mutex lifecycleLock_;
    bool _stopRequested GUARDED_BY(lifecycleLock_) = false;  // never cleared
    AckRef _pendingAck GUARDED_BY(lifecycleLock_);           // the start in progress
    std::shared_ptr<AudioSource> _micSource
        GUARDED_BY(lifecycleLock_);  // filled at construction or start
    std::shared_ptr<AudioSource> _systemSource
        GUARDED_BY(lifecycleLock_);  // filled at construction or start

    mutable util::Mutex stateLock_;
    bool _isStreaming GUARDED_BY(stateLock_) = false;

    util::Mutex senderLock_;
    std::shared_ptr<SenderState> _senderState GUARDED_BY(senderLock_);
    std::unique_ptr<dispatch::BackgroundTask> _sender GUARDED_BY(senderLock_);
    std::unique_ptr<dispatch::BackgroundTask> _gapWatch GUARDED_BY(senderLock_);

    // Last: stopped first, before the state its tasks use goes away.
    std::unique_ptr<dispatch::SerialQueue> queue_;
};

}  // namespace ostrovane::streaming
