#include "platform/sim/SimSampleBuffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ostrovane::platform::sim {

SimSampleBuffer::SimSampleBuffer(StreamDescription layout, bool described, std::int64_t frames,
                                 std::vector<std::byte> bytes, MediaTime presentationTime,
                                 bool hasDataBlock)
    : layout_(layout),
      described_(described),
      frames_(frames),
      bytes_(std::move(bytes)),
      presentationTime_(presentationTime),
      hasDataBlock_(hasDataBlock) {}

std::optional<StreamDescription> SimSampleBuffer::streamDescription() const {
    if (!described_)
        return std::nullopt;
    return layout_;
}

SampleBufferStatus SimSampleBuffer::copyPcm(std::int64_t startFrame, std::int64_t frames,
                                            AudioBufferList& destination) const {
    if (startFrame < 0 || frames < 0 || startFrame + frames > frames_) {
        return kSampleBufferInvalidRange;
    }
    const std::size_t planes = layout_.isNonInterleaved ? layout_.channelsPerFrame : 1;
    const std::size_t frameBytes = layout_.bytesPerFrame();
    const std::size_t planeBytes = frameBytes * static_cast<std::size_t>(frames_);
    const std::size_t wanted = frameBytes * static_cast<std::size_t>(frames);
    if (destination.buffers.size() != planes)
        return kSampleBufferArrayTooSmall;
    for (const AudioBuffer& buffer : destination.buffers) {
        if (buffer.data.size() < wanted)
            return kSampleBufferArrayTooSmall;
    }
    for (std::size_t p = 0; p < planes; ++p) {
        const std::byte* from =
            bytes_.data() + p * planeBytes + static_cast<std::size_t>(startFrame) * frameBytes;
        std::memcpy(destination.buffers[p].data.data(), from, wanted);
    }
    return 0;
}

std::optional<DataBlock> SimSampleBuffer::dataBlock() const {
    if (!hasDataBlock_)
        return std::nullopt;
    return DataBlock{0, std::span<const std::byte>(bytes_)};
}

namespace {

template <class T>
void store(T v, std::byte* out) {
    std::memcpy(out, &v, sizeof v);
}

template <class T>
T load(const std::byte* in) {
    T v;
    std::memcpy(&v, in, sizeof v);
    return v;
}

std::int64_t quantize(double value, int bits) {
    const double full = std::ldexp(1.0, bits - 1);
    const double scaled = std::round(std::clamp(value, -1.0, 1.0) * full);
    return static_cast<std::int64_t>(std::clamp(scaled, -full, full - 1));
}

}  // namespace

void writeSample(const StreamDescription& d, double value, std::byte* out) {
    if (d.isFloat) {
        if (d.bitsPerChannel == 64) {
            store(value, out);
        } else {
            store(static_cast<float>(value), out);
        }
        return;
    }
    const auto bits = static_cast<int>(d.bitsPerChannel);
    const std::int64_t q = quantize(value, bits);
    switch (bits) {
        case 8:
            store(static_cast<std::int8_t>(q), out);
            break;
        case 16:
            store(static_cast<std::int16_t>(q), out);
            break;
        case 24:
            for (int b = 0; b < 3; ++b)
                out[b] = static_cast<std::byte>((q >> (8 * b)) & 0xFF);
            break;
        default:
            store(static_cast<std::int32_t>(q), out);
            break;
    }
}

double readSample(const StreamDescription& d, const std::byte* in) {
    if (d.isFloat) {
        return d.bitsPerChannel == 64 ? load<double>(in) : load<float>(in);
    }
    const auto bits = static_cast<int>(d.bitsPerChannel);
    std::int64_t q = 0;
    switch (bits) {
        case 8:
            q = load<std::int8_t>(in);
            break;
        case 16:
            q = load<std::int16_t>(in);
            break;
        case 24: {
            std::uint32_t u = 0;
            for (int b = 0; b < 3; ++b)
                u |= std::to_integer<std::uint32_t>(in[b]) << (8 * b);
            q = static_cast<std::int32_t>(u << 8) >> 8;
            break;
        }
        default:
            q = load<std::int32_t>(in);
            break;
    }
    return static_cast<double>(q) / std::ldexp(1.0, bits - 1);
}

}  // namespace ostrovane::platform::sim
