#include <algorithm>

#include <nlohmann/json.hpp>

#include "monitoring/MicrophoneMonitor.h"

namespace ostrovane::monitoring {

void MicrophoneMonitor::startPolling() {
    if (pollingTimer_)
        pollingTimer_->cancel();
    // The handler runs on the queue, which dies before the timer does.
    pollingTimer_ = std::make_unique<dispatch::RepeatingTimer>(
        queue_, dispatch::seconds(pollInterval), dispatch::Duration::zero(), [this] {
            if (isMonitoring_)
                poll();
        });
    pollingTimer_->start();
}

void MicrophoneMonitor::poll() {
    const std::vector<DeviceId> devices = getCachedInputDevices();
    DeviceId active;
    if (std::find(devices.begin(), devices.end(), currentDeviceID_) != devices.end() &&
        checkDeviceRunningByID(currentDeviceID_)) {
        active = currentDeviceID_;
    } else {
        for (DeviceId device : devices) {
            if (device && device != currentDeviceID_ && checkDeviceRunningByID(device)) {
                active = device;
                break;
            }
        }
    }

    const double now = clock_.wallTime();
    const bool other = active && active != currentDeviceID_;
    const bool changed = other && active != lastActiveDeviceID_;
    const bool recent = now - lastEmitTime_ < recentEmitWindow && lastEmitDeviceID_ == active;

    if (other && (changed || !lastRunningState_) && !(recent && lastEmitState_ == "active")) {
        lastRunningState_ = true;
        lastActiveDeviceID_ = active;
        recordEmission(active, "active");
        emitEvent("active", active);
    } else if (!active && lastRunningState_) {
        // The line names the watched device, whichever device stopped.
        lastRunningState_ = false;
        lastActiveDeviceID_ = {};
        recordEmission(currentDeviceID_, "inactive");
        emitEvent("inactive", currentDeviceID_);
    } else if (active) {
        lastRunningState_ = true;
        lastActiveDeviceID_ = active;
    }
}

void MicrophoneMonitor::recordEmission(DeviceId device, const std::string& state) {
    lastEmitTime_ = clock_.wallTime();
    lastEmitDeviceID_ = device;
    lastEmitState_ = state;
}

void MicrophoneMonitor::emitEvent(const std::string& state, DeviceId device) {
    if (!device) {
        text_.logToStderr("MicrophoneMonitor: Skipping event emission for invalid deviceID=0");
        return;
    }
    const nlohmann::json event{
        {"state", state},
        {"deviceId", std::to_string(device.value)},
        {"deviceName", hardware_->deviceName(device).valueOr("Unknown Device")},
        {"timestamp", clock_.wallTime()}};
    std::string line;
    try {
        line = event.dump();
    } catch (const nlohmann::json::exception&) {
        return;  // a name that is not valid UTF-8: no line rather than a broken one
    }
    text_.sendMicEvent(line);
}

}  // namespace ostrovane::monitoring
