#include "platform/pulse/LinuxCaptureDevices.h"

#include "platform/pulse/LinuxCaptureSession.h"
#include "platform/pulse/RecordStream.h"

namespace ostrovane::platform::pulse {

void LinuxAudioDataOutput::setSampleBufferHandler(SampleBufferHandler handler,
                                                  dispatch::QueueRef queue) {
    slot_.replace(std::move(handler), std::move(queue));
}

void LinuxAudioDataOutput::deliver(const std::shared_ptr<const SampleBuffer>& buffer) {
    slot_.deliver(buffer);
}

void LinuxCaptureDevices::requestAccess(std::function<void(bool)> answer) {
    connection_->events().async([answer = std::move(answer)] { answer(true); });
}

std::optional<CaptureDevice> LinuxCaptureDevices::defaultDevice() {
    return connection_->model().defaultCaptureDevice();
}

std::vector<CaptureDevice> LinuxCaptureDevices::discoverDevices() {
    return connection_->model().captureDevices();
}

Result<std::shared_ptr<CaptureDeviceInput>> LinuxCaptureDevices::makeInput(
    const CaptureDevice& device) {
    PulseModel& model = connection_->model();
    if (!model.available()) {
        return Error{kPulseErrorDomain, PA_ERR_CONNECTIONREFUSED,
                     "Cannot open " + device.uniqueId + ": " + connection_->unavailableReason()};
    }
    auto source = model.source(device.uniqueId);
    if (!source || source->isMonitor) {
        return Error{kPulseErrorDomain, PA_ERR_NOENTITY, "No microphone named " + device.uniqueId};
    }
    return std::shared_ptr<CaptureDeviceInput>(
        std::make_shared<LinuxDeviceInput>(CaptureDevice{source->name, source->description}));
}

std::shared_ptr<AudioDataOutput> LinuxCaptureDevices::makeAudioDataOutput() {
    return std::make_shared<LinuxAudioDataOutput>();
}

std::shared_ptr<AudioCaptureSession> LinuxCaptureDevices::makeSession() {
    return std::make_shared<LinuxCaptureSession>(connection_);
}

}  // namespace ostrovane::platform::pulse
