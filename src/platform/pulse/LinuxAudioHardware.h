#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/AudioHardware.h"
#include "platform/pulse/PulseConnection.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pulse {

// Status of a read on an object that does not exist ('!obj').
inline constexpr HardwareStatus kBadObjectStatus = 0x216F626A;
// Status of a read while no sound server is reachable ('stop').
inline constexpr HardwareStatus kServerUnavailableStatus = 0x73746F70;

// The audio hardware object model over the sound server's model: devices are
// sinks and non-monitor sources, processes are the clients with streams, and
// listeners fire from subscription events once per change of their property.
//
// A sound server that goes away and comes back is not a device change: the
// device-list and default-input listeners stay quiet while it is away and,
// once it is back, fire only if its devices or its default input differ from
// before (the way a restarted audio daemon keeps the user's devices). A server
// that had a default input and comes back without one yet is given up to
// kDeviceSettleTime to offer it again (PipeWire's session manager adds the
// devices a moment after its pulse server answers) before they hear of it.
class LinuxAudioHardware final : public AudioHardware,
                                 public ModelObserver,
                                 public std::enable_shared_from_this<LinuxAudioHardware> {
  public:
    static std::shared_ptr<LinuxAudioHardware> create(std::shared_ptr<PulseConnection> connection);
    ~LinuxAudioHardware() override { connection_->settle(); }

    PropertyRead<AudioObjectId> defaultInputDevice() override;
    PropertyRead<std::vector<AudioObjectId>> devices() override;
    PropertyRead<std::string> deviceUID(AudioObjectId device) override;
    PropertyRead<std::string> deviceName(AudioObjectId device) override;
    PropertyRead<std::uint32_t> isRunningSomewhere(AudioObjectId device, Scope scope) override;
    PropertyRead<std::vector<std::uint32_t>> inputStreamChannels(AudioObjectId device) override;
    PropertyRead<std::vector<AudioObjectId>> processObjects() override;
    PropertyRead<std::int32_t> processPid(AudioObjectId process) override;
    PropertyRead<std::uint32_t> processIsRunningInput(AudioObjectId process) override;
    PropertyRead<ListenerRegistration> addListener(const PropertyAddress& address,
                                                   std::function<void()> onChange) override;
    HardwareStatus removeListener(const ListenerRegistration& registration) override;

    void modelChanged(const ModelChanges& changes) override;

    class Key {
        friend class LinuxAudioHardware;
        Key() = default;
    };
    LinuxAudioHardware(Key, std::shared_ptr<PulseConnection> connection)
        : connection_(std::move(connection)) {}

  private:
    struct Listener {
        PropertyAddress address;
        std::function<void()> onChange;
    };
    // What the device-list and default-input listeners have last been told.
    struct Seen {
        std::vector<std::string> devices;  // kind and name of each device
        std::string defaultInput;          // source name; empty when none
        bool operator==(const Seen&) const = default;
    };

    Seen seenNow() const;
    // The changes worth telling the listeners, given the model's state now.
    ModelChanges filtered(const ModelChanges& changes);

    const std::shared_ptr<PulseConnection> connection_;
    mutable util::Mutex mutex_;
    std::map<std::uint64_t, Listener> _listeners GUARDED_BY(mutex_);
    std::uint64_t _nextListenerId GUARDED_BY(mutex_) = 1;
    // Updated on the connection's event queue only.
    Seen seen_;
    bool serverPresent_ = false;
    std::uint64_t outages_ = 0;  // one per loss of the server
    bool settling_ = false;      // back, waiting for its default input
    bool settled_ = false;       // that wait is over
};

}  // namespace ostrovane::platform::pulse
