#include "sources/mic/DeviceDiagnostics.h"

#include <cstdlib>

#include "util/Utf8.h"

#include <nlohmann/json.hpp>

namespace ostrovane::sources::mic {

namespace {

using nlohmann::json;

json deviceJson(const DeviceDiagnosticInfo& info) {
    return json{{"id", info.id},
                {"name", info.name},
                {"isDefault", info.isDefault},
                {"isRunning", info.isRunning}};
}

json deviceListJson(const std::vector<DeviceDiagnosticInfo>& list) {
    json array = json::array();
    for (const auto& info : list)
        array.push_back(deviceJson(info));
    return array;
}

}  // namespace

std::string prefixCharacters(std::string_view text, std::size_t limit) {
    std::size_t end = 0;
    for (std::size_t n = 0; n < limit && end < text.size(); ++n)
        end += static_cast<std::size_t>(std::abs(utf8SequenceAt(text, end)));
    return std::string(text.substr(0, end));
}

std::optional<std::string> encodeDeviceDiagnostic(const DeviceDiagnostic& d) {
    try {
        json selected{{"id", d.selectedDevice.id}, {"name", d.selectedDevice.name}};
        if (d.selectedDevice.rms)
            selected["rms"] = *d.selectedDevice.rms;
        if (d.selectedDevice.framesReceived)
            selected["framesReceived"] = *d.selectedDevice.framesReceived;

        json object{{"event", d.event}, {"selectedDevice", std::move(selected)}};
        if (d.allInputDevices)
            object["allInputDevices"] = deviceListJson(*d.allInputDevices);
        if (d.totalDeviceCount)
            object["totalDeviceCount"] = *d.totalDeviceCount;
        if (d.otherRunningDevices)
            object["otherRunningDevices"] = deviceListJson(*d.otherRunningDevices);
        if (d.reason)
            object["reason"] = *d.reason;
        if (d.driftDetected)
            object["driftDetected"] = *d.driftDetected;
        if (d.currentDefaultID)
            object["currentDefaultId"] = *d.currentDefaultID;
        // A device name that is not valid UTF-8 must not cost the parent the
        // whole record: ill-formed bytes become U+FFFD.
        return object.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool isDeviceRunningSomewhere(platform::AudioHardware& hardware, const std::string& uid) {
    const auto objects = hardware.devices();
    if (!objects.ok())
        return false;
    platform::AudioObjectId match;
    bool found = false;
    for (const platform::AudioObjectId object : objects.value()) {
        const auto objectUid = hardware.deviceUID(object);
        if (objectUid.ok() && objectUid.value() == uid) {
            match = object;
            found = true;
            break;
        }
    }
    if (!found || !match)
        return false;
    for (const platform::Scope scope :
         {platform::Scope::global, platform::Scope::input, platform::Scope::output}) {
        const auto running = hardware.isRunningSomewhere(match, scope);
        if (running.ok() && running.value() != 0)
            return true;
    }
    return false;
}

InputDeviceList enumerateInputDevices(platform::AudioCaptureDevices& devices,
                                      platform::AudioHardware& hardware) {
    const std::vector<platform::CaptureDevice> found = devices.discoverDevices();
    const std::optional<platform::CaptureDevice> defaultDevice = devices.defaultDevice();
    InputDeviceList list;
    list.total = found.size();
    for (std::size_t i = 0; i < found.size() && i < kDiagnosticDeviceLimit; ++i) {
        const auto& device = found[i];
        list.devices.push_back(DeviceDiagnosticInfo{
            device.uniqueId, prefixCharacters(device.localizedName, kDiagnosticNameLength),
            defaultDevice && defaultDevice->uniqueId == device.uniqueId,
            isDeviceRunningSomewhere(hardware, device.uniqueId)});
    }
    return list;
}

std::vector<DeviceDiagnosticInfo> otherRunningDevices(const InputDeviceList& list,
                                                      const std::string& selectedId) {
    std::vector<DeviceDiagnosticInfo> others;
    for (const auto& info : list.devices) {
        if (info.isRunning && info.id != selectedId)
            others.push_back(info);
    }
    return others;
}

}  // namespace ostrovane::sources::mic
