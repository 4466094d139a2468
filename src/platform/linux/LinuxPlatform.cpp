#include "platform/linux/LinuxPlatform.h"

#include "platform/linux/LinuxApplications.h"
#include "platform/linux/LinuxAudioHardware.h"
#include "platform/linux/LinuxCaptureDevices.h"
#include "platform/linux/LinuxScreenCapture.h"
#include "platform/linux/PulseConnection.h"
#include "platform/x264/X264VideoEncoders.h"

namespace ostrovane::platform {

Platform makeLinuxPlatform(dispatch::Clock& clock, LinuxPlatformOptions options) {
    auto connection = pulse::PulseConnection::create(
        clock, pulse::PulseConnection::Options{"Ostrovane", options.pulseServer, options.timeout});
    Platform platform;
    platform.audioCapture = std::make_shared<pulse::LinuxCaptureDevices>(connection);
    platform.audioHardware = pulse::LinuxAudioHardware::create(connection);
    platform.screenCapture =
        std::make_shared<pulse::LinuxScreenCapture>(connection, std::move(options.displays));
    platform.applications = std::make_shared<LinuxApplications>(
        logind::LogindWakeWatcher::Options{std::move(options.systemBus)});
    platform.videoEncoders = std::make_shared<x264::X264VideoEncoders>();
    return platform;
}

}  // namespace ostrovane::platform
