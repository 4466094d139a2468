// The three "DEVICE_DIAGNOSTIC:" records of the microphone source.
#include "sources/mic/MicText.h"
#include "sources/mic/MicrophoneSource.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::sources::mic {

namespace {

// Whether the selected device has drifted away from the system default.
struct Drift {
    bool detected = false;
    std::optional<std::string> currentDefaultID;
};

Drift driftFrom(const std::optional<platform::CaptureDevice>& defaultDevice,
                const std::string& selectedId) {
    if (defaultDevice && defaultDevice->uniqueId == selectedId)
        return {};
    return {true, defaultDevice ? std::optional(defaultDevice->uniqueId) : std::nullopt};
}

void applyDrift(DeviceDiagnostic& diagnostic, const Drift& drift) {
    if (!drift.detected)
        return;
    diagnostic.driftDetected = true;
    diagnostic.currentDefaultID = drift.currentDefaultID;
}

}  // namespace

void MicrophoneSource::emitCaptureStartDiagnostic() {
    DeviceDiagnostic diagnostic;
    diagnostic.event = "capture_start";
    {
        util::MutexLock lock(stateLock_);
        diagnostic.selectedDevice.id = _selectedDeviceID;
        diagnostic.selectedDevice.name = _selectedDeviceName;
    }
    InputDeviceList list = enumerateInputDevices(*audioCapture_, *audioHardware_);
    if (list.total > list.devices.size())
        diagnostic.totalDeviceCount = static_cast<std::int64_t>(list.total);
    diagnostic.allInputDevices = std::move(list.devices);
    emitDeviceDiagnostic(diagnostic);
    log("Emitted capture_start diagnostic");
}

void MicrophoneSource::emitCaptureStatusDiagnostic(double avgRms, std::int64_t totalFrames) {
    DeviceDiagnostic diagnostic;
    diagnostic.event = "capture_status";
    {
        util::MutexLock lock(stateLock_);
        diagnostic.selectedDevice.id = _selectedDeviceID;
        diagnostic.selectedDevice.name = _selectedDeviceName;
    }
    diagnostic.selectedDevice.rms = avgRms;
    diagnostic.selectedDevice.framesReceived = totalFrames;
    const std::string& selectedId = diagnostic.selectedDevice.id;
    const Drift drift = driftFrom(audioCapture_->defaultDevice(), selectedId);
    auto others =
        otherRunningDevices(enumerateInputDevices(*audioCapture_, *audioHardware_), selectedId);
    if (!others.empty())
        diagnostic.otherRunningDevices = std::move(others);
    applyDrift(diagnostic, drift);
    emitDeviceDiagnostic(diagnostic);
    log("Emitted capture_status diagnostic (RMS=" + fixedText(avgRms, 6) + ", frames=" +
        std::to_string(totalFrames) + ", drift=" + (drift.detected ? "true" : "false") + ")");
}

void MicrophoneSource::emitCaptureProblemDiagnostic(const std::string& reason) {
    DeviceDiagnostic diagnostic;
    diagnostic.event = "capture_problem";
    diagnostic.reason = reason;
    std::int64_t frames;
    {
        util::MutexLock lock(stateLock_);
        diagnostic.selectedDevice.id = _selectedDeviceID;
        diagnostic.selectedDevice.name = _selectedDeviceName;
        diagnostic.selectedDevice.rms =
            _rmsFrameCount < 1 ? 0.0 : _cumulativeRMS / static_cast<double>(_rmsFrameCount);
        frames = _totalFrameCount;
    }
    diagnostic.selectedDevice.framesReceived = frames;
    const std::string& selectedId = diagnostic.selectedDevice.id;
    InputDeviceList list = enumerateInputDevices(*audioCapture_, *audioHardware_);
    auto others = otherRunningDevices(list, selectedId);
    if (!others.empty())
        diagnostic.otherRunningDevices = std::move(others);
    applyDrift(diagnostic, driftFrom(audioCapture_->defaultDevice(), selectedId));
    if (list.total > list.devices.size())
        diagnostic.totalDeviceCount = static_cast<std::int64_t>(list.total);
    diagnostic.allInputDevices = std::move(list.devices);
    emitDeviceDiagnostic(diagnostic);
    log("Emitted capture_problem diagnostic (reason=" + reason +
        ", frames=" + std::to_string(frames) + ")");
}

void MicrophoneSource::emitDeviceDiagnostic(const DeviceDiagnostic& diagnostic) {
    if (const auto json = encodeDeviceDiagnostic(diagnostic)) {
        text_.writeTagged(kDeviceDiagnosticTag, *json);
    } else {
        log("Failed to encode device diagnostic");
    }
}

}  // namespace ostrovane::sources::mic
