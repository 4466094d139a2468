#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace ostrovane::app {

// Every command the helper accepts, in the order the dispatcher tests them.
enum class Command {
    startStreaming,
    stopStreaming,
    startMicMonitoring,
    stopMicMonitoring,
    stop,
    screenshot,
    listDevices,
    getCurrentMic,
    healthCheck,
    testWav,
    testMicTap,
    getDeviceDiagnostic,
    sampleRunningMics,
    listWindows,
    snapshotNow,
    startVideo,
    stopVideo,
    switchVideo,
};

struct CommandSpec {
    Command command;
    std::string_view name;
    // Used when the line has no colon; commands without an argument have none.
    std::optional<std::string_view> defaultArgument;
};

inline constexpr std::array<CommandSpec, 18> kCommandTable{{
    {Command::startStreaming, "START_STREAMING", std::nullopt},
    {Command::stopStreaming, "STOP_STREAMING", std::nullopt},
    {Command::startMicMonitoring, "START_MIC_MONITORING", std::nullopt},
    {Command::stopMicMonitoring, "STOP_MIC_MONITORING", std::nullopt},
    {Command::stop, "STOP", std::nullopt},
    {Command::screenshot, "SCREENSHOT", std::nullopt},
    {Command::listDevices, "LIST_DEVICES", std::nullopt},
    {Command::getCurrentMic, "GET_CURRENT_MIC", std::nullopt},
    {Command::healthCheck, "HEALTH_CHECK", std::nullopt},
    {Command::testWav, "TEST_WAV", ""},
    {Command::testMicTap, "TEST_MIC_TAP", std::nullopt},
    {Command::getDeviceDiagnostic, "GET_DEVICE_DIAGNOSTIC", "requested"},
    {Command::sampleRunningMics, "SAMPLE_RUNNING_MICS", "requested"},
    {Command::listWindows, "LIST_WINDOWS", std::nullopt},
    {Command::snapshotNow, "SNAPSHOT_NOW", "320"},
    {Command::startVideo, "START_VIDEO", "{}"},
    {Command::stopVideo, "STOP_VIDEO", std::nullopt},
    {Command::switchVideo, "SWITCH_VIDEO", "{}"},
}};

// A line split at its first colon. `name` is the text before the colon in
// upper case; `argument` is everything after it, unchanged, and is absent when
// the line has no colon.
struct CommandLine {
    std::string name;
    std::optional<std::string> argument;
};

CommandLine splitCommandLine(std::string_view line);

// The command whose name equals `upperName` exactly, if any.
const CommandSpec* findCommand(std::string_view upperName);

// A resolved request: the command and the argument its handler receives
// (the line's argument, or the command's default when the line has no colon).
struct CommandRequest {
    const CommandSpec* spec;
    std::string argument;
};

std::optional<CommandRequest> parseCommand(std::string_view line);

}  // namespace ostrovane::app
