#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/AudioCaptureSession.h"
#include "platform/pulse/DeliveryGate.h"
#include "platform/pulse/LinuxCaptureDevices.h"
#include "platform/pulse/PulseConnection.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pulse {

class RecordStream;

// The outputs of a session and whether buffers may pass to them right now.
// Shared with the record stream's buffer event, which must not keep the
// session itself alive.
class OutputGate {
  public:
    void add(std::shared_ptr<LinuxAudioDataOutput> output);
    bool contains(const std::shared_ptr<AudioDataOutput>& output) const;
    std::vector<std::shared_ptr<AudioDataOutput>> outputs() const;
    // Closing returns once no buffer is on its way to an output, unless the
    // closer runs in one of the outputs' handlers.
    void setOpen(bool open);
    // Passes the buffer on while the gate is open; closing the gate is
    // therefore the point after which nothing more reaches an output.
    void deliver(const std::shared_ptr<const SampleBuffer>& buffer);

  private:
    mutable util::Mutex mutex_;
    std::vector<std::shared_ptr<LinuxAudioDataOutput>> _outputs GUARDED_BY(mutex_);
    DeliveryGate gate_;
};

// A capture session: one record stream on its input's source, in the
// source's own format, while running.
//
// A stream that fails (killed, source removed) stops the session and reports
// a runtime error, once the model holds the server's defaults from after the
// failure: a removed default source has then been replaced by the server's
// next choice, which the owner's recovery finds. A suspended source
// interrupts the session: the stream is corked (so the source does not count
// as in use for it) until the owner starts the session again after the
// interruption ended.
//
// A lost sound server interrupts the session at once and reports the runtime
// error only once the server is back, listed and offering a default
// microphone (or has been back for kDeviceSettleTime without one): the
// owner's recovery then finds the devices again instead of failing against a
// server that is still restarting or whose session manager has not yet
// added its devices (PipeWire). A server that never returns leaves the
// session interrupted.
class LinuxCaptureSession final : public AudioCaptureSession,
                                  public ModelObserver,
                                  public std::enable_shared_from_this<LinuxCaptureSession> {
  public:
    explicit LinuxCaptureSession(std::shared_ptr<PulseConnection> connection);
    ~LinuxCaptureSession() override;

    void setNotifications(SessionNotifications notifications) override;
    void beginConfiguration() override {}
    void commitConfiguration() override {}
    std::vector<std::shared_ptr<CaptureDeviceInput>> inputs() const override;
    // One input at a time: a record stream records one source.
    bool canAddInput(const std::shared_ptr<CaptureDeviceInput>& input) const override;
    void addInput(std::shared_ptr<CaptureDeviceInput> input) override;
    void removeInput(const std::shared_ptr<CaptureDeviceInput>& input) override;
    std::vector<std::shared_ptr<AudioDataOutput>> outputs() const override;
    bool canAddOutput(const std::shared_ptr<AudioDataOutput>& output) const override;
    void addOutput(std::shared_ptr<AudioDataOutput> output) override;
    void startRunning() override;
    void stopRunning() override;
    bool isRunning() const override;
    std::optional<Error> startError() const override;

    void modelChanged(const ModelChanges& changes) override;

  private:
    // awaitingServer: the connection was lost while running; the runtime
    // error is due when the connection is ready again.
    enum class State { stopped, running, interrupted, awaitingServer };

    void halt();
    void failStartLocked(Error error) REQUIRES(mutex_) { _startError = std::move(error); }
    void streamFailed(std::uint64_t generation, const Error& error);
    void streamSuspended(std::uint64_t generation, bool suspended);
    // awaitingServer: reports the runtime error once the server is back and
    // offers a microphone, or once `settled` (the wait is over) it is back.
    void checkServerReturn(bool settled);

    const std::shared_ptr<PulseConnection> connection_;
    const std::shared_ptr<OutputGate> gate_ = std::make_shared<OutputGate>();

    mutable util::Mutex mutex_;
    std::vector<std::shared_ptr<LinuxDeviceInput>> _inputs GUARDED_BY(mutex_);
    SessionNotifications _notifications GUARDED_BY(mutex_);
    State _state GUARDED_BY(mutex_) = State::stopped;
    std::uint64_t _generation GUARDED_BY(mutex_) = 0;  // one per stream
    std::shared_ptr<RecordStream> _stream GUARDED_BY(mutex_);
    std::uint64_t _connection GUARDED_BY(mutex_) = 0;  // connections() when the stream opened
    bool _observing GUARDED_BY(mutex_) = false;
    bool _settling GUARDED_BY(mutex_) = false;  // the settle timer is armed
    std::optional<Error> _startError GUARDED_BY(mutex_);
};

}  // namespace ostrovane::platform::pulse
