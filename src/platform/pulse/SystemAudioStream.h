#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/CaptureStream.h"
#include "platform/pulse/BufferHandlerSlot.h"
#include "platform/pulse/DeliveryGate.h"
#include "platform/pulse/PulseConnection.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pulse {

class RecordStream;

// The stream's one audio output and whether buffers may pass to it. Shared
// with the record stream's buffer event, which must not keep the stream alive.
//
// A buffer runs its handler right on the delivering thread when the handler's
// queue is idle (as that queue's task), and is posted to the queue otherwise.
// Clearing the output and closing the gate return once no buffer is on its
// way to the handler, unless called from the handler itself.
class AudioOutputGate {
  public:
    bool set(AudioSampleHandler handler, dispatch::QueueRef queue);  // false: already set
    bool clear();                                                    // false: none was set
    void setOpen(bool open);
    void deliver(const std::shared_ptr<const SampleBuffer>& buffer);

  private:
    BufferHandlerSlot slot_;
    DeliveryGate gate_;
};

// Stop code when the server itself ended the capture and it could not be set
// up again on the default output device.
inline constexpr std::int64_t kStreamSystemStoppedCode = -3821;
inline constexpr const char* kCaptureErrorDomain = "LinuxCapture";

// The system-audio stream: a record stream on the monitor of the default
// sink, in 32-bit float at the configured rate and channel count (the server
// converts). It carries audio only.
//
// It follows the default sink inside the provider, without a stop: a headset
// that plugs in or out is not a failure. The recording moves to the new
// default's monitor; when it cannot be moved, or when its sink went away
// (PipeWire's session manager may end it then), it records the new default's
// monitor anew. A lost server is waited for in the same way: once the server
// is back, listed and offering a default output, the stream records its
// monitor again. Meanwhile it reports that it awaits its service. A server
// that never returns leaves it waiting; an output that does not show up
// within kDeviceSettleTime ends it.
//
// It ends by itself (the stop handler hears it once) with
// - kStreamContentionCode when another client killed the recording,
// - kStreamDisplayUnavailableCode when no output device is left to record,
// - kStreamSystemStoppedCode when the server did not answer or recording
//   again failed; the owner's recovery rebuilds the stream.
class SystemAudioStream final : public CaptureStream,
                                public ModelObserver,
                                public std::enable_shared_from_this<SystemAudioStream> {
  public:
    static std::shared_ptr<SystemAudioStream> create(std::shared_ptr<PulseConnection> connection,
                                                     StreamConfiguration configuration,
                                                     StreamStopHandler onStop);
    ~SystemAudioStream() override;

    MaybeError addAudioOutput(AudioSampleHandler handler, dispatch::QueueRef queue) override;
    MaybeError addScreenOutput(ScreenSampleHandler handler, dispatch::QueueRef queue) override;
    MaybeError removeOutput(StreamOutputType type) override;
    void startCapture(StreamCompletion completion) override;
    void stopCapture(StreamCompletion completion) override;
    // The system mix is the same whatever the target.
    void updateContentFilter(const ContentFilter& filter, StreamCompletion completion) override;
    const StreamConfiguration& configuration() const override { return configuration_; }
    bool isAwaitingService() const override;

    void modelChanged(const ModelChanges& changes) override;

    class Key {
        friend class SystemAudioStream;
        Key() = default;
    };
    SystemAudioStream(Key, std::shared_ptr<PulseConnection> connection,
                      StreamConfiguration configuration, StreamStopHandler onStop);

  private:
    // awaitingServer: the server was lost while capturing. awaitingOutput:
    // the recording is gone and a new one waits for a default output.
    // reopening: a new recording is being set up (or the end of the last one
    // is being looked into).
    enum class State {
        idle,
        starting,
        capturing,
        awaitingServer,
        awaitingOutput,
        reopening,
        ended
    };
    // The default output when it can be recorded: a sink the model knows,
    // with a monitor.
    struct Output {
        std::string sink;
        std::string monitor;
    };

    std::optional<Output> defaultOutput() const;
    MaybeError open(std::uint64_t generation);
    void reopen(std::uint64_t generation);
    void follow(std::uint64_t generation);
    // A wait for an output to record lasts at most kDeviceSettleTime: the
    // number of a new wait, nothing when one is on already.
    std::optional<std::uint64_t> beginWaitLocked() REQUIRES(mutex_);
    void armWait(std::uint64_t generation, std::uint64_t wait);
    void outputWaitOver(std::uint64_t generation, std::uint64_t wait);
    void recordingFailed(std::uint64_t generation, const Error& error);
    void report(std::uint64_t generation, std::int64_t code, const std::string& message);
    void complete(StreamCompletion completion, MaybeError error) const;

    const std::shared_ptr<PulseConnection> connection_;
    const StreamConfiguration configuration_;
    const StreamStopHandler onStop_;

    const std::shared_ptr<AudioOutputGate> gate_ = std::make_shared<AudioOutputGate>();

    mutable util::Mutex mutex_;
    State _state GUARDED_BY(mutex_) = State::idle;
    std::uint64_t _generation GUARDED_BY(mutex_) = 0;  // one per start
    std::string _sink GUARDED_BY(mutex_);              // the sink being recorded
    std::shared_ptr<RecordStream> _record GUARDED_BY(mutex_);
    // Set on the main loop thread the moment the recording fails, before any
    // model change that the failure causes is published.
    std::shared_ptr<std::atomic<bool>> _failed GUARDED_BY(mutex_);
    bool _stopReported GUARDED_BY(mutex_) = false;
    std::uint64_t _connection GUARDED_BY(mutex_) = 0;  // connections() when the recording opened
    std::uint64_t _wait GUARDED_BY(mutex_) = 0;        // one per wait for an output
    bool _waiting GUARDED_BY(mutex_) = false;          // a wait is on
    bool _waitOver GUARDED_BY(mutex_) = false;         // its time is up
};

}  // namespace ostrovane::platform::pulse
