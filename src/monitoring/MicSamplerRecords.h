#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrovane::monitoring {

// Why one device could not be measured. The description of each is its name.
enum class MicSamplerError {
    cannotAddInput,
    cannotAddOutput,
    sessionStartFailed,
    noFramesCaptured
};

std::string describe(MicSamplerError error);

// The level of one running microphone over its sampling window.
struct MicSampleResult {
    std::string id;
    std::string name;  // at most 50 characters
    double rms = 0;
    double peakRms = 0;
    std::int64_t framesCaptured = 0;  // measured buffers, not audio frames
    std::int64_t sampleDurationMs = 0;
    std::optional<std::string> error;  // at most 100 characters
};

// One answer to "which microphones run, and how loud": loudest first.
struct RunningMicsSampleDiagnostic {
    std::string event = "running_mics_sample";
    std::string reason;
    std::vector<MicSampleResult> samples;
    std::int64_t totalDurationMs = 0;
    std::optional<std::string> selectedDeviceId;
};

// The compact JSON of the record; nothing when it cannot be encoded (a name
// that is not valid UTF-8).
std::optional<std::string> encodeDiagnostic(const RunningMicsSampleDiagnostic& record);

// The first `count` characters of UTF-8 `text`, never cutting a character.
std::string firstCharacters(const std::string& text, std::size_t count);

}  // namespace ostrovane::monitoring
