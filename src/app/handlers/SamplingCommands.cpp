#include "app/handlers/SamplingCommands.h"

#include <memory>
#include <optional>

#include "monitoring/MicSampler.h"
#include "sources/mic/MicrophoneSource.h"

namespace ostrovane::app {

namespace {
constexpr std::int64_t kSampleDurationMs = 200;
constexpr std::int64_t kMaxConcurrent = 3;
}  // namespace

void SamplingCommands::sampleRunningMics(const std::string& reason) {
    context_.text.logToStderr("Running mics sample requested: reason=" + reason);
    std::optional<std::string> selected;
    if (slots_.streamer) {
        if (auto microphone = std::dynamic_pointer_cast<sources::mic::MicrophoneSource>(
                slots_.streamer->micSource()))
            selected = microphone->selectedDeviceID();
    }
    const protocol::TextChannel& text = context_.text;
    const monitoring::MicSampler sampler(
        {context_.platform.audioCapture, context_.platform.audioHardware, context_.clock,
         context_.mainQueue},
        kSampleDurationMs, kMaxConcurrent,
        [&text](const std::string& line) { text.logToStderr(line); });
    // Written before the run is queued, so it always precedes the record.
    context_.text.sendEvent("RUNNING_MICS_SAMPLE_STARTED");
    sampler.sampleRunningMics(
        reason, std::move(selected), [&text](monitoring::RunningMicsSampleDiagnostic record) {
            if (auto json = monitoring::encodeDiagnostic(record))
                text.writeTagged("RUNNING_MICS_SAMPLE", *json);
            else
                text.logToStderr("Failed to encode running mics sample diagnostic");
        });
}

}  // namespace ostrovane::app
