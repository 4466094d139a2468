#pragma once

#include <memory>
#include <optional>

#include "platform/OfflineAudioEngine.h"

namespace ostrovane::platform {

// The offline engine computed in plain code, with no device and no clock:
// the source node's float samples scaled by the mixer volume reach the tap in
// blocks of the tap size, and scaled again by the main mixer volume reach the
// render buffer. Every provider can offer it as its offline engine.
class OfflineRenderGraph final : public OfflineAudioEngine {
  public:
    OfflineRenderGraph();
    ~OfflineRenderGraph() override;

    void connectSource(SourceRenderCallback render, const AudioFormat& format) override;
    void setMixerVolume(float volume) override { mixerVolume_ = volume; }
    void setMainMixerVolume(float volume) override { mainVolume_ = volume; }
    void installTap(std::uint32_t bufferFrames, TapCallback onBlock) override;
    void removeTap() override;
    MaybeError enableManualRendering(const AudioFormat& format,
                                     std::uint32_t maximumFrames) override;
    MaybeError start() override;
    void stop() override { running_ = false; }
    AudioFormat manualRenderingFormat() const override;
    Result<RenderStatus> renderOffline(std::uint32_t frames, PcmBuffer& buffer) override;

  private:
    void feedTap(std::uint32_t frames);

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

// Hands out render graphs.
class OfflineRenderGraphs final : public OfflineAudioEngines {
  public:
    std::unique_ptr<OfflineAudioEngine> create() override {
        return std::make_unique<OfflineRenderGraph>();
    }
};

}  // namespace ostrovane::platform
