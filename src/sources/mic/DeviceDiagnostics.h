#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AudioCaptureDevices.h"
#include "platform/AudioHardware.h"

namespace ostrovane::sources::mic {

// The device the microphone source captures from, as a diagnostic reports it.
struct SelectedDeviceInfo {
    std::string id;
    std::string name;
    std::optional<double> rms;
    std::optional<std::int64_t> framesReceived;
};

// One input device of the machine.
struct DeviceDiagnosticInfo {
    std::string id;
    std::string name;  // cut to kDiagnosticNameLength characters
    bool isDefault = false;
    bool isRunning = false;
    bool operator==(const DeviceDiagnosticInfo&) const = default;
};

// One "DEVICE_DIAGNOSTIC:" record. Members that are not set are left out of
// the JSON object altogether.
struct DeviceDiagnostic {
    std::string event;
    SelectedDeviceInfo selectedDevice;
    std::optional<std::vector<DeviceDiagnosticInfo>> allInputDevices;
    std::optional<std::int64_t> totalDeviceCount;
    std::optional<std::vector<DeviceDiagnosticInfo>> otherRunningDevices;
    std::optional<std::string> reason;
    std::optional<bool> driftDetected;
    std::optional<std::string> currentDefaultID;
};

inline constexpr std::string_view kDeviceDiagnosticTag = "DEVICE_DIAGNOSTIC";
inline constexpr std::size_t kDiagnosticDeviceLimit = 10;
inline constexpr std::size_t kDiagnosticNameLength = 50;

// Compact JSON of one record; nothing when it cannot be encoded.
std::optional<std::string> encodeDeviceDiagnostic(const DeviceDiagnostic& diagnostic);

// The first `limit` characters (code points) of a UTF-8 text; an ill-formed
// part counts as the one character that replaces it (repairUtf8).
std::string prefixCharacters(std::string_view text, std::size_t limit);

// The input devices of the machine, as the diagnostics list them.
struct InputDeviceList {
    std::vector<DeviceDiagnosticInfo> devices;  // the first kDiagnosticDeviceLimit
    std::size_t total = 0;                      // devices found
};

// Reads the devices through the platform; failed reads degrade the content
// (a device whose hardware lookup fails is not running).
InputDeviceList enumerateInputDevices(platform::AudioCaptureDevices& devices,
                                      platform::AudioHardware& hardware);

// Whether some process runs the audio device whose unique identifier is
// `uid`, asked in global, input and output scope in that order.
bool isDeviceRunningSomewhere(platform::AudioHardware& hardware, const std::string& uid);

// The running devices other than `selectedId`.
std::vector<DeviceDiagnosticInfo> otherRunningDevices(const InputDeviceList& list,
                                                      const std::string& selectedId);

}  // namespace ostrovane::sources::mic
