#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "contract/ProviderHarness.h"

namespace ostrovane::contract {

// The offline graph: a tone rendered without a device reaches the tap in
// blocks of the tap size.
class OfflineAudioEngineContract : public testing::TestWithParam<Provider> {
  protected:
    void SetUp() override {
        harness = GetParam().make();
        engine = harness->platform().offlineAudioEngines->create();
        ASSERT_TRUE(engine);
    }

    void buildToneGraph() {
        engine->connectSource(
            [phase = 0.0f](std::uint32_t frames, platform::PcmBuffer& buffer) mutable {
                buffer.setFrameLength(frames);
                const float step = static_cast<float>(2 * std::numbers::pi * 440 / 48000.0);
                for (std::uint32_t i = 0; i < frames; ++i) {
                    const float v = 0.5f * std::sin(phase);
                    for (std::uint32_t c = 0; c < buffer.format().channelCount(); ++c) {
                        buffer.floatChannelData(c)[i] = v;
                    }
                    phase += step;
                }
            },
            format);
        engine->setMixerVolume(1.0f);
        engine->setMainMixerVolume(0.0f);
    }

    const platform::AudioFormat format{platform::CommonFormat::pcmFloat32, 48000, 2, false};
    std::unique_ptr<ProviderHarness> harness;
    std::unique_ptr<platform::OfflineAudioEngine> engine;
};

TEST_P(OfflineAudioEngineContract, ToneReachesTheTapInWholeBlocksAndTheMutedOutputIsSilent) {
    buildToneGraph();
    std::vector<double> blockRms;
    std::vector<std::uint32_t> blockFrames;
    engine->installTap(960, [&](const platform::PcmBuffer& block) {
        blockFrames.push_back(block.frameLength());
        double sum = 0;
        for (std::uint32_t c = 0; c < block.format().channelCount(); ++c) {
            for (std::uint32_t i = 0; i < block.frameLength(); ++i) {
                const double v = block.floatChannelData(c)[i];
                sum += v * v;
            }
        }
        blockRms.push_back(std::sqrt(sum / (block.frameLength() * block.format().channelCount())));
    });
    ASSERT_FALSE(engine->enableManualRendering(format, 960));
    ASSERT_FALSE(engine->start());

    platform::PcmBuffer out(engine->manualRenderingFormat(), 960);
    double outputEnergy = 0;
    for (std::uint32_t rendered = 0; rendered < 14400;) {
        auto status = engine->renderOffline(std::min(960u, 14400 - rendered), out);
        ASSERT_TRUE(status.ok());
        ASSERT_EQ(status.value(), platform::RenderStatus::success);
        rendered += out.frameLength();
        for (std::uint32_t i = 0; i < out.frameLength(); ++i) {
            outputEnergy += std::abs(out.floatChannelData(0)[i]);
        }
    }
    engine->stop();
    engine->removeTap();

    EXPECT_EQ(blockFrames, std::vector<std::uint32_t>(15, 960));
    for (double rms : blockRms)
        EXPECT_NEAR(rms, 0.5 / std::sqrt(2.0), 0.01);
    EXPECT_EQ(outputEnergy, 0.0);
}

TEST_P(OfflineAudioEngineContract, RenderingBeforeStartIsNotASuccess) {
    buildToneGraph();
    ASSERT_FALSE(engine->enableManualRendering(format, 960));
    platform::PcmBuffer out(format, 960);
    auto status = engine->renderOffline(960, out);
    EXPECT_TRUE(!status.ok() || status.value() != platform::RenderStatus::success);
}

}  // namespace ostrovane::contract
