#include "sources/mic/MicPcmConversion.h"

#include <cstring>
#include <limits>

#include "sources/mic/MicText.h"

namespace ostrovane::sources::mic {

namespace {

using platform::AudioFormat;
using platform::PcmBuffer;
using platform::SampleBuffer;
using platform::StreamDescription;

void log(const PcmConversionHooks& hooks, const std::string& line) {
    if (hooks.log)
        hooks.log(line);
}

bool fitsCapacity(std::int64_t frames) {
    return frames >= 1 && frames <= std::numeric_limits<std::uint32_t>::max();
}

std::unique_ptr<PcmBuffer> copyStandard(const SampleBuffer& buffer, const AudioFormat& format,
                                        const PcmConversionHooks& hooks) {
    const std::int64_t frames = buffer.frameCount();
    if (!fitsCapacity(frames))
        return nullptr;
    auto pcm = PcmBuffer::create(format, static_cast<std::uint32_t>(frames));
    if (!pcm)
        return nullptr;
    pcm->setFrameLength(static_cast<std::uint32_t>(frames));
    platform::AudioBufferList list = pcm->audioBufferList();
    const platform::SampleBufferStatus status = buffer.copyPcm(0, frames, list);
    if (status != 0) {
        log(hooks,
            "CMSampleBufferCopyPCMDataIntoAudioBufferList failed: " + std::to_string(status));
        return nullptr;
    }
    return pcm;
}

std::unique_ptr<PcmBuffer> copyChannelZero(const SampleBuffer& buffer,
                                           const StreamDescription& description,
                                           const PcmConversionHooks& hooks) {
    const std::int64_t frames = buffer.frameCount();
    if (description.channelsPerFrame < 3 || frames < 1)
        return nullptr;
    if (hooks.monoFallback)
        hooks.monoFallback(description);

    const std::uint32_t bits = description.bitsPerChannel;
    if (bits < 8)
        return nullptr;
    StreamDescription mono = description;
    mono.isNonInterleaved = false;
    mono.channelsPerFrame = 1;
    const auto monoFormat = AudioFormat::fromStreamDescription(mono);
    if (!monoFormat) {
        log(hooks, "Failed to create mono AVAudioFormat for " + rateText(description.sampleRate) +
                       "Hz/" + std::to_string(bits) + "bit");
        return nullptr;
    }
    auto pcm = fitsCapacity(frames)
                   ? PcmBuffer::create(*monoFormat, static_cast<std::uint32_t>(frames))
                   : nullptr;
    if (!pcm) {
        log(hooks, "Failed to allocate mono PCM buffer");
        return nullptr;
    }
    pcm->setFrameLength(static_cast<std::uint32_t>(frames));

    const auto block = buffer.dataBlock();
    if (!block) {
        log(hooks, "No block buffer in sample buffer");
        return nullptr;
    }
    if (block->status != 0 || block->bytes.data() == nullptr) {
        log(hooks, "Failed to get block buffer data pointer: " + std::to_string(block->status));
        return nullptr;
    }
    const std::span<std::byte> destination = pcm->planeCapacityBytes(0);
    if (destination.data() == nullptr) {
        log(hooks, "No destination buffer data pointer");
        return nullptr;
    }
    if (auto failure = extractChannelZero(description, frames, block->bytes, destination)) {
        log(hooks, *failure);
        return nullptr;
    }
    return pcm;
}

}  // namespace

std::optional<std::string> extractChannelZero(const StreamDescription& layout, std::int64_t frames,
                                              std::span<const std::byte> block,
                                              std::span<std::byte> destination) {
    const std::size_t bytesPerSample = layout.bitsPerChannel / 8;
    const auto count = static_cast<std::size_t>(frames);
    const std::size_t needed = count * bytesPerSample;
    if (destination.size() < needed)
        return "No destination buffer data pointer";
    if (layout.isNonInterleaved) {
        if (block.size() < needed) {
            return "Block buffer too small: " + std::to_string(block.size()) + " < " +
                   std::to_string(needed);
        }
        std::memcpy(destination.data(), block.data(), needed);
        return std::nullopt;
    }
    const std::size_t stride = bytesPerSample * layout.channelsPerFrame;
    if (block.size() < count * stride)
        return "Block buffer too small for interleaved extraction";
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(destination.data() + i * bytesPerSample, block.data() + i * stride,
                    bytesPerSample);
    }
    return std::nullopt;
}

std::unique_ptr<PcmBuffer> convertToPcmBuffer(const SampleBuffer& buffer,
                                              const PcmConversionHooks& hooks) {
    const auto description = buffer.streamDescription();
    if (!description)
        return nullptr;
    if (const auto format = AudioFormat::fromStreamDescription(*description))
        return copyStandard(buffer, *format, hooks);
    return copyChannelZero(buffer, *description, hooks);
}

}  // namespace ostrovane::sources::mic
