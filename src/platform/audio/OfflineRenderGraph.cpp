#include "platform/audio/OfflineRenderGraph.h"

#include <algorithm>

namespace ostrovane::platform {

namespace {

// Sample `frame` of `channel` of a float buffer; null for other formats.
float* floatSample(PcmBuffer& b, std::uint32_t channel, std::uint32_t frame) {
    const bool interleaved = b.format().isInterleaved();
    float* plane = b.floatChannelData(interleaved ? 0 : channel);
    if (!plane)
        return nullptr;
    return plane + static_cast<std::size_t>(frame) * b.stride() + (interleaved ? channel : 0);
}

void scaleAll(PcmBuffer& b, std::uint32_t frames, float volume) {
    for (std::uint32_t c = 0; c < b.format().channelCount(); ++c) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            if (float* s = floatSample(b, c, i))
                *s *= volume;
        }
    }
}

}  // namespace

OfflineRenderGraph::OfflineRenderGraph() = default;
OfflineRenderGraph::~OfflineRenderGraph() = default;

void OfflineRenderGraph::connectSource(SourceRenderCallback render, const AudioFormat& format) {
    render_ = std::move(render);
    format_ = format;
}

void OfflineRenderGraph::installTap(std::uint32_t bufferFrames, TapCallback onBlock) {
    tapFrames_ = std::max<std::uint32_t>(bufferFrames, 1);
    tap_ = std::move(onBlock);
    tapBlock_.reset();
}

void OfflineRenderGraph::removeTap() {
    tap_ = nullptr;
    tapBlock_.reset();
}

MaybeError OfflineRenderGraph::enableManualRendering(const AudioFormat& format,
                                                     std::uint32_t maximumFrames) {
    manualFormat_ = format;
    maxFrames_ = maximumFrames;
    return std::nullopt;
}

MaybeError OfflineRenderGraph::start() {
    if (!manualFormat_)
        return Error{"com.apple.coreaudio.avfaudio", -10875, "manual rendering is not enabled"};
    running_ = true;
    return std::nullopt;
}

AudioFormat OfflineRenderGraph::manualRenderingFormat() const {
    return manualFormat_ ? *manualFormat_ : AudioFormat(CommonFormat::pcmFloat32, 48000, 2, false);
}

Result<RenderStatus> OfflineRenderGraph::renderOffline(std::uint32_t frames, PcmBuffer& buffer) {
    if (!running_ || frames > maxFrames_ || frames > buffer.frameCapacity())
        return RenderStatus::error;
    const AudioFormat format = format_ ? *format_ : *manualFormat_;
    if (!scratch_ || scratch_->format() != format || scratch_->frameCapacity() < frames) {
        scratch_ = PcmBuffer::create(format, std::max(frames, maxFrames_));
        if (!scratch_)
            return RenderStatus::error;
    }
    scratch_->setFrameLength(frames);
    for (std::uint32_t p = 0; p < scratch_->planeCount(); ++p) {
        auto bytes = scratch_->planeBytes(p);
        std::fill(bytes.begin(), bytes.end(), std::byte{0});
    }
    if (render_)
        render_(frames, *scratch_);
    scaleAll(*scratch_, frames, mixerVolume_);
    feedTap(frames);

    buffer.setFrameLength(frames);
    const std::uint32_t channels = buffer.format().channelCount();
    for (std::uint32_t c = 0; c < channels; ++c) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            float* out = floatSample(buffer, c, i);
            if (!out)
                continue;
            const float* in = c < format.channelCount() ? floatSample(*scratch_, c, i) : nullptr;
            *out = in ? *in * mainVolume_ : 0.0f;
        }
    }
    return RenderStatus::success;
}

// Cuts the mixer's output into blocks of the tap size.
void OfflineRenderGraph::feedTap(std::uint32_t frames) {
    if (!tap_)
        return;
    if (!tapBlock_) {
        tapBlock_ = PcmBuffer::create(scratch_->format(), tapFrames_);
        tapFill_ = 0;
        if (!tapBlock_)
            return;
    }
    const std::uint32_t channels = scratch_->format().channelCount();
    for (std::uint32_t i = 0; i < frames; ++i) {
        tapBlock_->setFrameLength(tapFill_ + 1);
        for (std::uint32_t c = 0; c < channels; ++c) {
            float* to = floatSample(*tapBlock_, c, tapFill_);
            const float* from = floatSample(*scratch_, c, i);
            if (to && from)
                *to = *from;
        }
        if (++tapFill_ == tapFrames_) {
            tap_(*tapBlock_);
            tapFill_ = 0;
        }
    }
}

}  // namespace ostrovane::platform
