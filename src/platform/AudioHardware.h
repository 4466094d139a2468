#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ostrovane::platform {

// A 32-bit audio hardware object: the system object, a device or a process.
// The id 0 means "no object".
struct AudioObjectId {
    std::uint32_t value = 0;

    explicit operator bool() const { return value != 0; }
    auto operator<=>(const AudioObjectId&) const = default;
};

inline constexpr AudioObjectId kSystemObject{1};

// Status of a hardware call: 0 is success, anything else a failed call.
using HardwareStatus = std::int32_t;

// Property scopes. Running state is asked per scope; most properties are global.
enum class Scope { global, input, output };

// The outcome of one property read. A failed read carries its status and no
// value, so callers never mistake a failure for a value of 0.
template <class T>
class PropertyRead {
  public:
    static PropertyRead success(T value) { return PropertyRead(0, std::move(value)); }
    static PropertyRead failure(HardwareStatus status) {
        return PropertyRead(status, std::nullopt);
    }

    bool ok() const { return status_ == 0 && value_.has_value(); }
    HardwareStatus status() const { return status_; }
    const T& value() const { return *value_; }
    T valueOr(T fallback) const { return ok() ? *value_ : std::move(fallback); }

  private:
    PropertyRead(HardwareStatus status, std::optional<T> value)
        : status_(status), value_(std::move(value)) {}
    HardwareStatus status_;
    std::optional<T> value_;
};

// The properties that can be observed. Each listener names one of them on one
// object, in one scope.
enum class HardwareProperty {
    defaultInputDevice,  // on the system object, global scope
    deviceList,          // on the system object, global scope
    isRunningSomewhere,  // on a device, any scope, wildcard element
};

struct PropertyAddress {
    AudioObjectId object;
    HardwareProperty property = HardwareProperty::deviceList;
    Scope scope = Scope::global;
    bool operator==(const PropertyAddress&) const = default;
};

// Proof of one listener registration. Removal takes exactly this value back;
// registering the same address twice gives two registrations.
struct ListenerRegistration {
    std::uint64_t id = 0;
    PropertyAddress address;
    bool operator==(const ListenerRegistration&) const = default;
};

// The audio hardware's object model: devices, processes and their properties.
//
// Reads are synchronous and may be called from any thread. Listener callbacks
// arrive on a platform thread, once after each change of the property, and
// must only hand work to a queue. After removeListener returns no new
// callback of that registration starts.
class AudioHardware {
  public:
    virtual ~AudioHardware() = default;

    // The system's default input device (0 when there is none).
    virtual PropertyRead<AudioObjectId> defaultInputDevice() = 0;
    // All audio devices, inputs and outputs, in the system's order.
    virtual PropertyRead<std::vector<AudioObjectId>> devices() = 0;
    // The unique identifier shared with the capture device of the same hardware.
    virtual PropertyRead<std::string> deviceUID(AudioObjectId device) = 0;
    virtual PropertyRead<std::string> deviceName(AudioObjectId device) = 0;
    // Non-zero when some process runs the device in that scope.
    virtual PropertyRead<std::uint32_t> isRunningSomewhere(AudioObjectId device, Scope scope) = 0;
    // Channel count of each input stream buffer; empty for an output-only device.
    virtual PropertyRead<std::vector<std::uint32_t>> inputStreamChannels(AudioObjectId device) = 0;

    // Audio process objects: one per process that uses audio.
    virtual PropertyRead<std::vector<AudioObjectId>> processObjects() = 0;
    virtual PropertyRead<std::int32_t> processPid(AudioObjectId process) = 0;
    // Non-zero while the process runs audio input.
    virtual PropertyRead<std::uint32_t> processIsRunningInput(AudioObjectId process) = 0;

    virtual PropertyRead<ListenerRegistration> addListener(const PropertyAddress& address,
                                                           std::function<void()> onChange) = 0;
    virtual HardwareStatus removeListener(const ListenerRegistration& registration) = 0;
};

}  // namespace ostrovane::platform
