#include "platform/pulse/PulseSampleBuffer.h"

#include <cstring>

namespace ostrovane::platform::pulse {

PulseSampleBuffer::PulseSampleBuffer(StreamDescription format, std::vector<std::byte> bytes,
                                     MediaTime presentationTime)
    : format_(format),
      bytes_(std::move(bytes)),
      frames_(format.bytesPerFrame()
                  ? static_cast<std::int64_t>(bytes_.size() / format.bytesPerFrame())
                  : 0),
      presentationTime_(presentationTime) {}

SampleBufferStatus PulseSampleBuffer::copyPcm(std::int64_t startFrame, std::int64_t frames,
                                              AudioBufferList& destination) const {
    if (startFrame < 0 || frames < 0 || startFrame + frames > frames_)
        return kSampleBufferInvalidRange;
    const std::size_t frameBytes = format_.bytesPerFrame();
    const std::size_t wanted = frameBytes * static_cast<std::size_t>(frames);
    // Interleaved: one plane holding every channel.
    if (destination.buffers.size() != 1 || destination.buffers[0].data.size() < wanted)
        return kSampleBufferArrayTooSmall;
    std::memcpy(destination.buffers[0].data.data(),
                bytes_.data() + static_cast<std::size_t>(startFrame) * frameBytes, wanted);
    return 0;
}

std::optional<DataBlock> PulseSampleBuffer::dataBlock() const {
    return DataBlock{
        0, std::span<const std::byte>(bytes_.data(),
                                      static_cast<std::size_t>(frames_) * format_.bytesPerFrame())};
}

std::shared_ptr<const PulseSampleBuffer> FragmentTimeline::take(const void* data, std::size_t bytes,
                                                                bool pass) {
    if (frameBytes_ == 0)
        return nullptr;
    const auto frames = static_cast<std::int64_t>(bytes / frameBytes_);
    const MediaTime at{framesSeen_, static_cast<std::int32_t>(format_.sampleRate)};
    framesSeen_ += frames;
    if (!data || !pass || frames == 0)
        return nullptr;
    const auto* first = static_cast<const std::byte*>(data);
    std::vector<std::byte> copy(first, first + static_cast<std::size_t>(frames) * frameBytes_);
    return std::make_shared<const PulseSampleBuffer>(format_, std::move(copy), at);
}

}  // namespace ostrovane::platform::pulse
