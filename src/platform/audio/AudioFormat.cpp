#include "platform/audio/AudioFormat.h"

#include <cmath>
#include <stdexcept>

namespace ostrovane::platform {

namespace {

bool describesPcm(CommonFormat format, double sampleRate, std::uint32_t channelCount) {
    return format != CommonFormat::otherFormat && std::isfinite(sampleRate) && sampleRate > 0 &&
           channelCount > 0;
}

CommonFormat commonFormatOf(const StreamDescription& d) {
    if (d.isFloat) {
        if (d.bitsPerChannel == 32)
            return CommonFormat::pcmFloat32;
        if (d.bitsPerChannel == 64)
            return CommonFormat::pcmFloat64;
        return CommonFormat::otherFormat;
    }
    if (!d.isSignedInteger)
        return CommonFormat::otherFormat;
    if (d.bitsPerChannel == 16)
        return CommonFormat::pcmInt16;
    if (d.bitsPerChannel == 32)
        return CommonFormat::pcmInt32;
    return CommonFormat::otherFormat;
}

}  // namespace

std::uint32_t bytesPerSample(CommonFormat format) {
    switch (format) {
        case CommonFormat::pcmFloat32:
        case CommonFormat::pcmInt32:
            return 4;
        case CommonFormat::pcmFloat64:
            return 8;
        case CommonFormat::pcmInt16:
            return 2;
        case CommonFormat::otherFormat:
            break;
    }
    return 0;
}

AudioFormat::AudioFormat(CommonFormat format, double sampleRate, std::uint32_t channelCount,
                         bool interleaved)
    : format_(format),
      sampleRate_(sampleRate),
      channelCount_(channelCount),
      interleaved_(interleaved) {
    if (!describesPcm(format, sampleRate, channelCount)) {
        throw std::invalid_argument("AudioFormat: not a processable PCM format");
    }
}

std::optional<AudioFormat> AudioFormat::make(CommonFormat format, double sampleRate,
                                             std::uint32_t channelCount, bool interleaved) {
    if (!describesPcm(format, sampleRate, channelCount))
        return std::nullopt;
    return AudioFormat(format, sampleRate, channelCount, interleaved);
}

std::optional<AudioFormat> AudioFormat::fromStreamDescription(const StreamDescription& d) {
    if (!d.isLinearPcm || d.channelsPerFrame > 2)
        return std::nullopt;
    return make(commonFormatOf(d), d.sampleRate, d.channelsPerFrame, !d.isNonInterleaved);
}

std::uint32_t AudioFormat::bytesPerSample() const {
    return platform::bytesPerSample(format_);
}

std::uint32_t AudioFormat::bytesPerFrame() const {
    return interleaved_ ? bytesPerSample() * channelCount_ : bytesPerSample();
}

std::uint32_t AudioFormat::planeCount() const {
    return interleaved_ ? 1 : channelCount_;
}

StreamDescription AudioFormat::streamDescription() const {
    const bool isFloat = format_ == CommonFormat::pcmFloat32 || format_ == CommonFormat::pcmFloat64;
    return StreamDescription{
        .sampleRate = sampleRate_,
        .channelsPerFrame = channelCount_,
        .bitsPerChannel = bytesPerSample() * 8,
        .isFloat = isFloat,
        .isSignedInteger = !isFloat,
        .isNonInterleaved = !interleaved_,
        .isPacked = true,
        .isLinearPcm = true,
    };
}

bool sameRateChannelsAndRepresentation(const AudioFormat& a, const AudioFormat& b) {
    return a.sampleRate() == b.sampleRate() && a.channelCount() == b.channelCount() &&
           a.commonFormat() == b.commonFormat();
}

}  // namespace ostrovane::platform
