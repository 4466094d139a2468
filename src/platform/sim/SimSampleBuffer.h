#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "platform/SampleBuffer.h"

namespace ostrovane::platform::sim {

// A sample buffer holding its bytes in the layout its description states
// (planes one after the other when non-interleaved). `layout` is the real
// layout of the bytes; `described` says whether the buffer admits to it.
class SimSampleBuffer final : public SampleBuffer {
  public:
    SimSampleBuffer(StreamDescription layout, bool described, std::int64_t frames,
                    std::vector<std::byte> bytes, MediaTime presentationTime,
                    bool hasDataBlock = true);

    std::optional<StreamDescription> streamDescription() const override;
    std::int64_t frameCount() const override { return frames_; }
    MediaTime presentationTime() const override { return presentationTime_; }
    SampleBufferStatus copyPcm(std::int64_t startFrame, std::int64_t frames,
                               AudioBufferList& destination) const override;
    std::optional<DataBlock> dataBlock() const override;

    const StreamDescription& layout() const { return layout_; }

  private:
    StreamDescription layout_;
    bool described_;
    std::int64_t frames_;
    std::vector<std::byte> bytes_;
    MediaTime presentationTime_;
    bool hasDataBlock_;
};

// Writes one sample value in [-1, 1] in the representation `d` describes
// (float 32/64, signed integer 8/16/24/32, little-endian) at `out`.
void writeSample(const StreamDescription& d, double value, std::byte* out);
// The inverse, for tests and the offline engine.
double readSample(const StreamDescription& d, const std::byte* in);

// Bytes of `frames` frames of all channels in the layout of `d`, each
// channel c of frame i given by `value(i, c)`.
template <class ValueFn>
std::vector<std::byte> renderPcm(const StreamDescription& d, std::int64_t frames, ValueFn value) {
    const std::size_t bytesPerSample = d.bitsPerChannel / 8;
    const std::size_t channels = d.channelsPerFrame;
    std::vector<std::byte> bytes(static_cast<std::size_t>(frames) * channels * bytesPerSample);
    for (std::int64_t i = 0; i < frames; ++i) {
        for (std::size_t c = 0; c < channels; ++c) {
            const std::size_t index = d.isNonInterleaved
                                          ? c * static_cast<std::size_t>(frames) + i
                                          : static_cast<std::size_t>(i) * channels + c;
            writeSample(d, value(i, c), bytes.data() + index * bytesPerSample);
        }
    }
    return bytes;
}

}  // namespace ostrovane::platform::sim
