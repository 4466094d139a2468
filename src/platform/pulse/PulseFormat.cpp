#include "platform/pulse/PulseFormat.h"

namespace ostrovane::platform::pulse {

pa_sample_spec recordSpecFor(const pa_sample_spec& native) {
    pa_sample_spec spec = native;
    switch (native.format) {
        case PA_SAMPLE_S16LE:
        case PA_SAMPLE_S16BE:
            spec.format = PA_SAMPLE_S16LE;
            break;
        case PA_SAMPLE_S32LE:
        case PA_SAMPLE_S32BE:
            spec.format = PA_SAMPLE_S32LE;
            break;
        default:
            spec.format = PA_SAMPLE_FLOAT32LE;
            break;
    }
    return spec;
}

std::optional<StreamDescription> describe(const pa_sample_spec& spec) {
    if (spec.rate == 0 || spec.channels == 0)
        return std::nullopt;
    StreamDescription d;
    d.sampleRate = spec.rate;
    d.channelsPerFrame = spec.channels;
    d.isNonInterleaved = false;
    d.isPacked = true;
    d.isLinearPcm = true;
    switch (spec.format) {
        case PA_SAMPLE_S16LE:
            d.bitsPerChannel = 16;
            d.isSignedInteger = true;
            break;
        case PA_SAMPLE_S32LE:
            d.bitsPerChannel = 32;
            d.isSignedInteger = true;
            break;
        case PA_SAMPLE_FLOAT32LE:
            d.bitsPerChannel = 32;
            d.isFloat = true;
            break;
        default:
            return std::nullopt;
    }
    return d;
}

std::optional<pa_sample_spec> sampleSpecFor(const StreamDescription& d) {
    if (d.isNonInterleaved || !d.isLinearPcm || d.sampleRate <= 0 || d.channelsPerFrame == 0 ||
        d.channelsPerFrame > PA_CHANNELS_MAX) {
        return std::nullopt;
    }
    pa_sample_spec spec{};
    spec.rate = static_cast<std::uint32_t>(d.sampleRate);
    spec.channels = static_cast<std::uint8_t>(d.channelsPerFrame);
    if (d.isFloat && d.bitsPerChannel == 32) {
        spec.format = PA_SAMPLE_FLOAT32LE;
    } else if (d.isSignedInteger && d.bitsPerChannel == 16) {
        spec.format = PA_SAMPLE_S16LE;
    } else if (d.isSignedInteger && d.bitsPerChannel == 32) {
        spec.format = PA_SAMPLE_S32LE;
    } else {
        return std::nullopt;
    }
    if (!pa_sample_spec_valid(&spec))
        return std::nullopt;
    return spec;
}

}  // namespace ostrovane::platform::pulse
