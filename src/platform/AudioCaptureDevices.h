#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/PlatformError.h"

namespace ostrovane::platform {

class AudioCaptureSession;
class AudioDataOutput;

// A microphone as the capture service lists it.
struct CaptureDevice {
    std::string uniqueId;
    std::string localizedName;
    bool operator==(const CaptureDevice&) const = default;
};

// A device opened as a session input. Opaque: sessions recognise their own.
class CaptureDeviceInput {
  public:
    virtual ~CaptureDeviceInput() = default;
    virtual const CaptureDevice& device() const = 0;
};

// Microphones, the recording permission, and the objects a capture session is
// assembled from. Every method may be called from any thread.
class AudioCaptureDevices {
  public:
    virtual ~AudioCaptureDevices() = default;

    // Asks for permission to record audio (this may show a prompt). `answer`
    // is called exactly once, on a platform thread.
    virtual void requestAccess(std::function<void(bool granted)> answer) = 0;

    // The system default audio input, if any.
    virtual std::optional<CaptureDevice> defaultDevice() = 0;

    // Built-in and external microphones, in the service's order.
    virtual std::vector<CaptureDevice> discoverDevices() = 0;

    // Opens a device as a session input; the error carries a description.
    virtual Result<std::shared_ptr<CaptureDeviceInput>> makeInput(const CaptureDevice& device) = 0;

    // An audio data output without settings: buffers come in the device's format.
    virtual std::shared_ptr<AudioDataOutput> makeAudioDataOutput() = 0;

    // A new session without inputs or outputs.
    virtual std::shared_ptr<AudioCaptureSession> makeSession() = 0;
};

}  // namespace ostrovane::platform
