#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/Clock.h"
#include "dispatch/RepeatingTimer.h"
#include "dispatch/SerialQueue.h"
#include "platform/AudioHardware.h"
#include "protocol/TextChannel.h"

namespace ostrovane::monitoring {

// Tells the parent when a microphone is in use at device level, whichever
// application uses it. The default input device is watched through hardware
// listeners; every other input device is polled every 0.5 s, so a recording
// on a non-default device is noticed too. Each observation is one
// "MIC_EVENT:" line: "active", "inactive" or "device_changed".
//
// All state lives on the queue "com.corvinta.micmonitor". Listener callbacks
// and timer ticks only post to it through a weak queue handle, and the queue
// is destroyed first with the monitor, so no task outlives the fields it
// touches.
class MicrophoneMonitor {
  public:
    // The text channel and the clock must outlive the monitor.
    struct Dependencies {
        std::shared_ptr<platform::AudioHardware> audioHardware;
        const protocol::TextChannel& text;
        dispatch::Clock& clock;
    };

    static constexpr double pollInterval = 0.5;
    static constexpr double deviceCacheMaxAge = 5.0;
    // A poll does not repeat an "active" line written this recently for the
    // same device.
    static constexpr double recentEmitWindow = 0.25;

    explicit MicrophoneMonitor(Dependencies dependencies);
    // Stops monitoring if the owner did not, so no listener or timer is left.
    ~MicrophoneMonitor();

    MicrophoneMonitor(const MicrophoneMonitor&) = delete;
    MicrophoneMonitor& operator=(const MicrophoneMonitor&) = delete;

    // Both run their work on the queue and return when it is done; never
    // call them from the queue.
    void startMonitoring();
    void stopMonitoring();

  private:
    using DeviceId = platform::AudioObjectId;

    void startLocked();
    void stopLocked();

    DeviceId getDefaultInputDevice();
    bool checkDeviceRunningByID(DeviceId device);
    std::vector<DeviceId> getAllInputDeviceIDs();
    std::vector<DeviceId> getCachedInputDevices();
    void invalidateDeviceCache();

    void listenForDefaultDeviceChanges();
    void listenForDeviceRunning();
    void listenForDeviceListChanges();
    void removeDeviceRunningListener();
    void removeListeners();
    // Registers `address`; the callback posts `work` to the queue.
    std::optional<platform::ListenerRegistration> listen(const platform::PropertyAddress& address,
                                                         void (MicrophoneMonitor::*work)());

    void onDefaultDeviceChanged();
    void onDeviceRunningChanged();
    void onDeviceListChanged();

    void startPolling();
    void poll();
    void recordEmission(DeviceId device, const std::string& state);
    void emitEvent(const std::string& state, DeviceId device);

    const std::shared_ptr<platform::AudioHardware> hardware_;
    const protocol::TextChannel& text_;
    dispatch::Clock& clock_;

    // Queue only.
    DeviceId currentDeviceID_;
    bool isMonitoring_ = false;
    std::unique_ptr<dispatch::RepeatingTimer> pollingTimer_;
    bool lastRunningState_ = false;
    DeviceId lastActiveDeviceID_;
    double lastEmitTime_ = 0;  // wall seconds
    DeviceId lastEmitDeviceID_;
    std::string lastEmitState_;
    std::vector<DeviceId> cachedInputDevices_;
    double deviceCacheTime_ = 0;  // wall seconds
    // Kept exactly as registered, so that removal addresses the same listener.
    std::optional<platform::ListenerRegistration> deviceChangeListener_;
    std::optional<platform::ListenerRegistration> deviceRunningListener_;
    std::optional<platform::ListenerRegistration> deviceListChangeListener_;

    // Declared last: destroyed (and joined) first, before the fields its
    // tasks touch.
    dispatch::SerialQueue queue_;
};

}  // namespace ostrovane::monitoring
