#pragma once

#include <memory>
#include <mutex>

#include "platform/AudioCaptureDevices.h"
#include "platform/AudioCaptureSession.h"
#include "platform/pulse/BufferHandlerSlot.h"
#include "platform/pulse/PulseConnection.h"

namespace ostrovane::platform::pulse {

// A source opened as a session input.
class LinuxDeviceInput final : public CaptureDeviceInput {
  public:
    explicit LinuxDeviceInput(CaptureDevice device) : device_(std::move(device)) {}
    const CaptureDevice& device() const override { return device_; }

  private:
    CaptureDevice device_;
};

class LinuxAudioDataOutput final : public AudioDataOutput {
  public:
    void setSampleBufferHandler(SampleBufferHandler handler, dispatch::QueueRef queue) override;
    // Hands one buffer to the handler's queue (see BufferHandlerSlot).
    void deliver(const std::shared_ptr<const SampleBuffer>& buffer);

  private:
    BufferHandlerSlot slot_;
};

// Microphones are the server's sources that are not monitors of a sink: the
// unique id is the source name, the name its description. Recording needs no
// permission on this system, so access is always granted.
class LinuxCaptureDevices final : public AudioCaptureDevices {
  public:
    explicit LinuxCaptureDevices(std::shared_ptr<PulseConnection> connection)
        : connection_(std::move(connection)) {}
    ~LinuxCaptureDevices() override { connection_->settle(); }

    void requestAccess(std::function<void(bool granted)> answer) override;
    std::optional<CaptureDevice> defaultDevice() override;
    std::vector<CaptureDevice> discoverDevices() override;
    Result<std::shared_ptr<CaptureDeviceInput>> makeInput(const CaptureDevice& device) override;
    std::shared_ptr<AudioDataOutput> makeAudioDataOutput() override;
    std::shared_ptr<AudioCaptureSession> makeSession() override;

  private:
    std::shared_ptr<PulseConnection> connection_;
};

}  // namespace ostrovane::platform::pulse
