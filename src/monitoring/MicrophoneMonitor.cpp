#include "monitoring/MicrophoneMonitor.h"

#include <string>

namespace ostrovane::monitoring {

using platform::HardwareProperty;
using platform::PropertyAddress;
using platform::Scope;

MicrophoneMonitor::MicrophoneMonitor(Dependencies dependencies)
    : hardware_(std::move(dependencies.audioHardware)),
      text_(dependencies.text),
      clock_(dependencies.clock),
      queue_(dependencies.clock, "com.corvinta.micmonitor") {}

MicrophoneMonitor::~MicrophoneMonitor() {
    queue_.sync([this] {
        if (isMonitoring_)
            stopLocked();
    });
}

void MicrophoneMonitor::startMonitoring() {
    queue_.sync([this] { startLocked(); });
}

void MicrophoneMonitor::stopMonitoring() {
    queue_.sync([this] { stopLocked(); });
}

void MicrophoneMonitor::startLocked() {
    if (isMonitoring_) {
        text_.logToStderr("MicrophoneMonitor: Already monitoring");
        return;
    }
    isMonitoring_ = true;
    text_.logToStderr("MicrophoneMonitor: Starting...");
    lastActiveDeviceID_ = {};
    lastEmitDeviceID_ = {};
    lastEmitTime_ = 0;
    lastEmitState_.clear();
    invalidateDeviceCache();

    currentDeviceID_ = hardware_ ? getDefaultInputDevice() : DeviceId{};
    if (!currentDeviceID_) {
        text_.logToStderr("MicrophoneMonitor: No default input device found");
        isMonitoring_ = false;
        return;
    }
    listenForDefaultDeviceChanges();
    listenForDeviceRunning();
    listenForDeviceListChanges();

    const bool running = checkDeviceRunningByID(currentDeviceID_);
    lastRunningState_ = running;
    emitEvent(running ? "active" : "inactive", currentDeviceID_);
    startPolling();
    text_.logToStderr("MicrophoneMonitor: Started monitoring device " +
                      std::to_string(currentDeviceID_.value));
}

void MicrophoneMonitor::stopLocked() {
    if (!isMonitoring_)
        return;
    isMonitoring_ = false;
    if (pollingTimer_) {
        pollingTimer_->cancel();
        pollingTimer_.reset();
    }
    removeListeners();
    text_.logToStderr("MicrophoneMonitor: Stopped");
}

MicrophoneMonitor::DeviceId MicrophoneMonitor::getDefaultInputDevice() {
    const auto read = hardware_->defaultInputDevice();
    if (!read.ok()) {
        text_.logToStderr("MicrophoneMonitor: Failed to get default input device: " +
                          std::to_string(read.status()));
        return {};
    }
    return read.value();
}

bool MicrophoneMonitor::checkDeviceRunningByID(DeviceId device) {
    if (!device)
        return false;
    for (Scope scope : {Scope::global, Scope::input, Scope::output}) {
        if (hardware_->isRunningSomewhere(device, scope).valueOr(0) != 0)
            return true;
    }
    return false;
}

std::vector<MicrophoneMonitor::DeviceId> MicrophoneMonitor::getAllInputDeviceIDs() {
    std::vector<DeviceId> inputs;
    for (DeviceId device : hardware_->devices().valueOr({})) {
        if (device && !hardware_->inputStreamChannels(device).valueOr({}).empty())
            inputs.push_back(device);
    }
    return inputs;
}

std::vector<MicrophoneMonitor::DeviceId> MicrophoneMonitor::getCachedInputDevices() {
    const double now = clock_.wallTime();
    if (cachedInputDevices_.empty() || now - deviceCacheTime_ > deviceCacheMaxAge) {
        cachedInputDevices_ = getAllInputDeviceIDs();
        deviceCacheTime_ = now;
    }
    return cachedInputDevices_;
}

void MicrophoneMonitor::invalidateDeviceCache() {
    cachedInputDevices_.clear();
    deviceCacheTime_ = 0;
}

std::optional<platform::ListenerRegistration> MicrophoneMonitor::listen(
    const PropertyAddress& address, void (MicrophoneMonitor::*work)()) {
    // The callback arrives on a hardware thread and only hands the work on;
    // `this` is used on the queue alone, which dies before the monitor's fields.
    auto registered = hardware_->addListener(address, [queue = queue_.ref(), this, work] {
        queue.async([this, work] {
            if (isMonitoring_)
                (this->*work)();
        });
    });
    if (!registered.ok())
        return std::nullopt;
    return registered.value();
}

void MicrophoneMonitor::listenForDefaultDeviceChanges() {
    deviceChangeListener_ =
        listen({platform::kSystemObject, HardwareProperty::defaultInputDevice, Scope::global},
               &MicrophoneMonitor::onDefaultDeviceChanged);
}

void MicrophoneMonitor::listenForDeviceRunning() {
    deviceRunningListener_ =
        listen({currentDeviceID_, HardwareProperty::isRunningSomewhere, Scope::global},
               &MicrophoneMonitor::onDeviceRunningChanged);
}

void MicrophoneMonitor::listenForDeviceListChanges() {
    deviceListChangeListener_ =
        listen({platform::kSystemObject, HardwareProperty::deviceList, Scope::global},
               &MicrophoneMonitor::onDeviceListChanged);
}

void MicrophoneMonitor::removeDeviceRunningListener() {
    if (deviceRunningListener_ && currentDeviceID_)
        hardware_->removeListener(*deviceRunningListener_);
    deviceRunningListener_.reset();
}

void MicrophoneMonitor::removeListeners() {
    if (deviceChangeListener_)
        hardware_->removeListener(*deviceChangeListener_);
    deviceChangeListener_.reset();
    removeDeviceRunningListener();
    if (deviceListChangeListener_)
        hardware_->removeListener(*deviceListChangeListener_);
    deviceListChangeListener_.reset();
}

void MicrophoneMonitor::onDefaultDeviceChanged() {
    const DeviceId next = getDefaultInputDevice();
    if (!next) {
        text_.logToStderr("MicrophoneMonitor: Default device changed to none");
        return;
    }
    if (next == currentDeviceID_)
        return;
    text_.logToStderr("MicrophoneMonitor: Device changed " +
                      std::to_string(currentDeviceID_.value) + " -> " + std::to_string(next.value));
    removeDeviceRunningListener();
    currentDeviceID_ = next;
    lastActiveDeviceID_ = {};
    invalidateDeviceCache();
    emitEvent("device_changed", next);
    listenForDeviceRunning();
    const bool running = checkDeviceRunningByID(next);
    lastRunningState_ = running;
    lastEmitTime_ = clock_.wallTime();
    emitEvent(running ? "active" : "inactive", next);
    startPolling();
}

void MicrophoneMonitor::onDeviceRunningChanged() {
    // Every firing writes a line, also when the state did not change.
    const bool running = checkDeviceRunningByID(currentDeviceID_);
    const std::string state = running ? "active" : "inactive";
    lastRunningState_ = running;
    recordEmission(currentDeviceID_, state);
    emitEvent(state, currentDeviceID_);
}

void MicrophoneMonitor::onDeviceListChanged() {
    // The next poll refills the cache.
    invalidateDeviceCache();
}

}  // namespace ostrovane::monitoring
