#include "platform/linux/LinuxPlatform.h"

#include <filesystem>

#include "platform/audio/OfflineRenderGraph.h"
#include "platform/apps/LinuxApplications.h"
#include "platform/pulse/LinuxAudioHardware.h"
#include "platform/pulse/LinuxCaptureDevices.h"
#include "platform/processes/LinuxChildProcesses.h"
#include "platform/linux/LinuxScreenCapture.h"
#include "platform/pulse/PulseConnection.h"
#include "platform/x264/X264VideoEncoders.h"
#include "protocol/TextChannel.h"

namespace ostrovane::platform {
namespace {

AudioInputLog audioLogOf(const LinuxPlatformOptions& options) {
    std::string executable = options.audioLogExecutable;
    if (executable.empty()) {
        std::error_code error;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
        executable = (error ? std::filesystem::path("ostrovane-audio-log")
                            : self.parent_path() / "ostrovane-audio-log")
                         .string();
    }
    ChildProcessSpec command{std::move(executable), {}};
    if (!options.pulseServer.empty())
        command.arguments = {"--server", options.pulseServer};
    return AudioInputLog{std::move(command), soundServerDaemons()};
}

}  // namespace

Platform makeLinuxPlatform(dispatch::Clock& clock, LinuxPlatformOptions options) {
    auto connection = pulse::PulseConnection::create(
        clock, pulse::PulseConnection::Options{"Ostrovane", options.pulseServer, options.timeout,
                                               protocol::logLine});
    Platform platform;
    platform.audioCapture = std::make_shared<pulse::LinuxCaptureDevices>(connection);
    platform.audioHardware = pulse::LinuxAudioHardware::create(connection);
    platform.screenCapture =
        std::make_shared<pulse::LinuxScreenCapture>(connection, std::move(options.displays));
    platform.audioInputLog = audioLogOf(options);
    platform.childProcesses = std::make_shared<LinuxChildProcesses>();
    platform.applications = std::make_shared<LinuxApplications>(
        logind::LogindWakeWatcher::Options{std::move(options.systemBus)},
        std::move(options.applicationSources));
    platform.videoEncoders = std::make_shared<x264::X264VideoEncoders>();
    platform.offlineAudioEngines = std::make_shared<OfflineRenderGraphs>();
    return platform;
}

}  // namespace ostrovane::platform
