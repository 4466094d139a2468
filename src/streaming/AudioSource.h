#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "platform/PlatformError.h"
#include "protocol/AudioProtocol.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::streaming {

// The contract of every audio source (microphone, system audio, WAV file,
// synthetic). Sources are shared objects (std::shared_ptr); every callback a
// source hands out holds it weakly.
//
// Lifecycle: setOnAudioData → start → (chunks) → stop. A source is started at
// most once. stop() is safe on a source that never started or failed to.
class AudioSource {
  public:
    // One chunk of audio already in the output format (interleaved 16-bit
    // stereo at 48 kHz, whole sample frames: a multiple of 4 bytes). Chunk
    // length is free; the streamer re-frames. Called on any thread.
    using DataHandler = std::function<void(std::span<const std::uint8_t> chunk)>;
    // Called exactly once: nothing on success, or the error that prevented
    // capture (its localized description is what the host reports).
    using StartCompletion = std::function<void(platform::MaybeError error)>;
    // Called exactly once, when capture has ended.
    using StopCompletion = std::function<void()>;

    virtual ~AudioSource() = default;

    // Short identifier used in the source's log lines ("system", "mic").
    virtual std::string sourceID() const = 0;
    // The kind of audio the source produces.
    virtual protocol::AudioProtocol::FrameType frameType() const = 0;

    // Begins capture. Returns at once; the completion may run on any thread,
    // also before start() returns.
    virtual void start(StartCompletion completion) = 0;
    // Ends capture; never fails.
    virtual void stop(StopCompletion completion) = 0;
    // True while the source is capturing.
    virtual bool isActive() const = 0;

    // Set by the streamer before start(); may be replaced or cleared at any time.
    void setOnAudioData(DataHandler handler) {
        auto shared = handler ? std::make_shared<const DataHandler>(std::move(handler)) : nullptr;
        util::MutexLock lock(handlerMutex_);
        _onAudioData = std::move(shared);
    }

  protected:
    // Hands one chunk to the current handler, if any, outside the lock.
    void deliverAudio(std::span<const std::uint8_t> chunk) const {
        std::shared_ptr<const DataHandler> handler;
        {
            util::MutexLock lock(handlerMutex_);
            handler = _onAudioData;
        }
        if (handler)
            (*handler)(chunk);
    }

  private:
    mutable util::Mutex handlerMutex_;
    std::shared_ptr<const DataHandler> _onAudioData GUARDED_BY(handlerMutex_);
};

// A source whose start() returns before capture is really running, and which
// later reports the capture outcome once (the system-audio source). The
// streamer recognises such a source by this interface, waits for the outcome
// under its watchdog, and may force its teardown.
class NegotiatingAudioSource : public AudioSource {
  public:
    // Called at most once per start: nothing when the capture service
    // confirmed the started stream, or the error with which it rejected it.
    using CaptureOutcome = std::function<void(platform::MaybeError error)>;

    virtual void setOnCaptureOutcome(CaptureOutcome outcome) = 0;
    // Tears the capture stream down synchronously.
    virtual void forceCleanup() = 0;
    // True for the error with which start() reports denied permission; the
    // source has reported that case itself, so the streamer adds no event.
    virtual bool isPermissionDenied(const platform::Error& error) const = 0;
};

}  // namespace ostrovane::streaming
