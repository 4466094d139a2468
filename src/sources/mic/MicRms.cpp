#include "sources/mic/MicRms.h"

#include <cmath>
#include <cstdint>

namespace ostrovane::sources::mic {

namespace {

template <class Sample>
double sumOfSquares(const Sample* samples, std::size_t count, double scale) {
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double v = static_cast<double>(samples[i]) * scale;
        sum += v * v;
    }
    return sum;
}

// Sum over all planes: an interleaved buffer has one plane holding every
// channel, a planar one a plane per channel.
template <class Sample, class PlaneFn>
double sumOverPlanes(const platform::PcmBuffer& buffer, PlaneFn plane, double scale) {
    const std::size_t perPlane = static_cast<std::size_t>(buffer.frameLength()) * buffer.stride();
    double sum = 0;
    for (std::uint32_t p = 0; p < buffer.planeCount(); ++p) {
        const Sample* samples = plane(p);
        if (samples)
            sum += sumOfSquares(samples, perPlane, scale);
    }
    return sum;
}

}  // namespace

double rmsOf(const platform::PcmBuffer& buffer) {
    const double count = static_cast<double>(buffer.format().channelCount()) * buffer.frameLength();
    if (count < 1)
        return 0;
    double sum = 0;
    switch (buffer.format().commonFormat()) {
        case platform::CommonFormat::pcmFloat32:
            sum = sumOverPlanes<float>(
                buffer, [&](std::uint32_t p) { return buffer.floatChannelData(p); }, 1.0);
            break;
        case platform::CommonFormat::pcmInt16:
            sum = sumOverPlanes<std::int16_t>(
                buffer, [&](std::uint32_t p) { return buffer.int16ChannelData(p); }, 1.0 / 32768.0);
            break;
        // 32-bit integer and double devices are real (PulseAudio s32, float64
        // files); measuring them as 0 would read as permanent silence and
        // trigger restarts for a working microphone.
        case platform::CommonFormat::pcmInt32:
            sum = sumOverPlanes<std::int32_t>(
                buffer, [&](std::uint32_t p) { return buffer.int32ChannelData(p); },
                1.0 / 2147483648.0);
            break;
        case platform::CommonFormat::pcmFloat64:
            sum = sumOverPlanes<double>(
                buffer, [&](std::uint32_t p) { return buffer.doubleChannelData(p); }, 1.0);
            break;
        case platform::CommonFormat::otherFormat:
            return 0;
    }
    return std::sqrt(sum / count);
}

}  // namespace ostrovane::sources::mic
