#include "app/handlers/DeviceCommands.h"

#include <memory>

#include <nlohmann/json.hpp>

#include "sources/mic/MicrophoneSource.h"

namespace ostrovane::app {

void DeviceCommands::listDevices() {
    nlohmann::json list = nlohmann::json::array();
    if (auto& capture = context_.platform.audioCapture) {
        for (const auto& device : capture->discoverDevices())
            list.push_back(
                {{"id", device.uniqueId}, {"name", device.localizedName}, {"type", "input"}});
    }
    std::string encoded;
    try {
        encoded = list.dump();
    } catch (const nlohmann::json::exception& error) {
        // A name that is not valid UTF-8 cannot be sent as JSON text.
        context_.text.logToStderr(std::string("ERROR: Failed to encode device list: ") +
                                  error.what());
        return;
    }
    context_.text.sendCommandResponse("DEVICES_LIST:" + encoded);
}

void DeviceCommands::getCurrentMicDevice() {
    std::optional<platform::CaptureDevice> device;
    if (auto& capture = context_.platform.audioCapture)
        device = capture->defaultDevice();
    context_.text.sendCommandResponse(
        "CURRENT_MIC:" + (device ? device->localizedName : "No default microphone found"));
}

void DeviceCommands::getDeviceDiagnostic(const std::string& reason) {
    std::shared_ptr<sources::mic::MicrophoneSource> microphone;
    if (slots_.streamer)
        microphone =
            std::dynamic_pointer_cast<sources::mic::MicrophoneSource>(slots_.streamer->micSource());
    if (microphone) {
        microphone->emitCaptureProblemDiagnostic(reason);
        context_.text.logToStderr("Device diagnostic requested: reason=" + reason);
    } else {
        context_.text.logToStderr("Device diagnostic requested but no active MicrophoneSource");
    }
    context_.text.sendEvent("DEVICE_DIAGNOSTIC_REQUESTED");
}

}  // namespace ostrovane::app
