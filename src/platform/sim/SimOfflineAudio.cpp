#include "platform/sim/SimOfflineAudio.h"

#include <algorithm>

namespace ostrovane::platform::sim {

namespace {

// Sample `frame` of `channel` of a float buffer; null for other formats.
float* floatSample(PcmBuffer& b, std::uint32_t channel, std::uint32_t frame) {
    const bool interleaved = b.format().isInterleaved();
    float* plane = b.floatChannelData(interleaved ? 0 : channel);
    if (!plane)
        return nullptr;
    return plane + static_cast<std::size_t>(frame) * b.stride() + (interleaved ? channel : 0);
}

class Engine final : public OfflineAudioEngine {
  public:
    explicit Engine(std::shared_ptr<SimOfflineAudio::Faults> faults) : faults_(std::move(faults)) {}

    void connectSource(SourceRenderCallback render, const AudioFormat& format) override {
        render_ = std::move(render);
        format_ = format;
    }
    void setMixerVolume(float volume) override { mixerVolume_ = volume; }
    void setMainMixerVolume(float volume) override { mainVolume_ = volume; }

    void installTap(std::uint32_t bufferFrames, TapCallback onBlock) override {
        tapFrames_ = std::max<std::uint32_t>(bufferFrames, 1);
        tap_ = std::move(onBlock);
        tapBlock_.reset();
    }
    void removeTap() override {
        tap_ = nullptr;
        tapBlock_.reset();
    }

    MaybeError enableManualRendering(const AudioFormat& format,
                                     std::uint32_t maximumFrames) override {
        {
            std::lock_guard lock(faults_->mutex);
            if (faults_->enableError)
                return faults_->enableError;
        }
        manualFormat_ = format;
        maxFrames_ = maximumFrames;
        return std::nullopt;
    }

    MaybeError start() override {
        {
            std::lock_guard lock(faults_->mutex);
            if (faults_->startError)
                return faults_->startError;
        }
        if (!manualFormat_) {
            return Error{"com.apple.coreaudio.avfaudio", -10875, "manual rendering is not enabled"};
        }
        running_ = true;
        return std::nullopt;
    }

    void stop() override { running_ = false; }

    AudioFormat manualRenderingFormat() const override {
        return manualFormat_ ? *manualFormat_
                             : AudioFormat(CommonFormat::pcmFloat32, 48000, 2, false);
    }

    Result<RenderStatus> renderOffline(std::uint32_t frames, PcmBuffer& buffer) override {
        {
            std::lock_guard lock(faults_->mutex);
            if (!faults_->renderAnswers.empty()) {
                Result<RenderStatus> answer = std::move(faults_->renderAnswers.front());
                faults_->renderAnswers.pop_front();
                return answer;
            }
        }
        if (!running_ || frames > maxFrames_ || frames > buffer.frameCapacity()) {
            return RenderStatus::error;
        }
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
                const float* in =
                    c < format.channelCount() ? floatSample(*scratch_, c, i) : nullptr;
                *out = in ? *in * mainVolume_ : 0.0f;
            }
        }
        return RenderStatus::success;
    }

  private:
    static void scaleAll(PcmBuffer& b, std::uint32_t frames, float volume) {
        for (std::uint32_t c = 0; c < b.format().channelCount(); ++c) {
            for (std::uint32_t i = 0; i < frames; ++i) {
                if (float* s = floatSample(b, c, i))
                    *s *= volume;
            }
        }
    }

    // Cuts the mixer's output into blocks of the tap size.
    void feedTap(std::uint32_t frames) {
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

    std::shared_ptr<SimOfflineAudio::Faults> faults_;
    SourceRenderCallback render_;
    std::optional<AudioFormat> format_;
    float mixerVolume_ = 1.0f;
    float mainVolume_ = 1.0f;
    std::uint32_t tapFrames_ = 0;
    TapCallback tap_;
    std::unique_ptr<PcmBuffer> tapBlock_;
    std::uint32_t tapFill_ = 0;
    std::optional<AudioFormat> manualFormat_;
    std::uint32_t maxFrames_ = 0;
    bool running_ = false;
    std::unique_ptr<PcmBuffer> scratch_;
};

}  // namespace

SimOfflineAudio::SimOfflineAudio() : faults_(std::make_shared<Faults>()) {}

void SimOfflineAudio::failEnableManualRendering(std::optional<Error> error) {
    std::lock_guard lock(faults_->mutex);
    faults_->enableError = std::move(error);
}

void SimOfflineAudio::failStart(std::optional<Error> error) {
    std::lock_guard lock(faults_->mutex);
    faults_->startError = std::move(error);
}

void SimOfflineAudio::pushRenderAnswer(Result<RenderStatus> answer) {
    std::lock_guard lock(faults_->mutex);
    faults_->renderAnswers.push_back(std::move(answer));
}

std::unique_ptr<OfflineAudioEngine> SimOfflineAudio::create() {
    return std::make_unique<Engine>(faults_);
}

}  // namespace ostrovane::platform::sim
