#include "monitoring/MicSamplerRecords.h"

#include <nlohmann/json.hpp>

namespace ostrovane::monitoring {

std::string describe(MicSamplerError error) {
    switch (error) {
        case MicSamplerError::cannotAddInput:
            return "cannotAddInput";
        case MicSamplerError::cannotAddOutput:
            return "cannotAddOutput";
        case MicSamplerError::sessionStartFailed:
            return "sessionStartFailed";
        case MicSamplerError::noFramesCaptured:
            return "noFramesCaptured";
    }
    return "unknown";
}

std::string firstCharacters(const std::string& text, std::size_t count) {
    std::size_t end = 0;
    for (std::size_t characters = 0; end < text.size() && characters < count; ++characters) {
        ++end;
        // Continuation bytes belong to the character before them.
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            ++end;
    }
    return text.substr(0, end);
}

std::optional<std::string> encodeDiagnostic(const RunningMicsSampleDiagnostic& record) {
    nlohmann::json samples = nlohmann::json::array();
    for (const auto& s : record.samples) {
        nlohmann::json one = {{"id", s.id},
                              {"name", s.name},
                              {"rms", s.rms},
                              {"peakRms", s.peakRms},
                              {"framesCaptured", s.framesCaptured},
                              {"sampleDurationMs", s.sampleDurationMs}};
        if (s.error)
            one["error"] = *s.error;
        samples.push_back(std::move(one));
    }
    nlohmann::json json = {{"event", record.event},
                           {"reason", record.reason},
                           {"samples", std::move(samples)},
                           {"totalDurationMs", record.totalDurationMs}};
    if (record.selectedDeviceId)
        json["selectedDeviceId"] = *record.selectedDeviceId;
    try {
        return json.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

}  // namespace ostrovane::monitoring
