#include <gtest/gtest.h>

#include <cmath>

#include "streaming/AudioConverterPipeline.h"

namespace ostrovane::streaming {
namespace {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::PcmBuffer;

PcmBuffer floatTone(double rate, std::uint32_t channels, std::uint32_t frames) {
    PcmBuffer buffer(AudioFormat(CommonFormat::pcmFloat32, rate, channels, true), frames);
    float* samples = buffer.floatChannelData(0);
    for (std::uint32_t i = 0; i < frames * channels; ++i)
        samples[i] = 0.25f * static_cast<float>(std::sin(i * 0.01));
    buffer.setFrameLength(frames);
    return buffer;
}

struct PipelineFixture : ::testing::Test {
    int factoryCalls = 0;
    bool factoryFails = false;
    AudioConverterPipeline pipeline{
        [](const std::string&) {},
        [this](const AudioFormat& from, const AudioFormat& to) {
            ++factoryCalls;
            return factoryFails ? nullptr : platform::AudioConverter::create(from, to);
        }};
};

TEST_F(PipelineFixture, ReusesOneConverterPerInputFormatAndReturnsFourBytesPerFrame) {
    auto first = pipeline.process(floatTone(48000, 2, 480));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 480u * 4);  // no resampling at equal rates
    ASSERT_TRUE(pipeline.process(floatTone(48000, 2, 480)));
    EXPECT_EQ(factoryCalls, 1);
    pipeline.process(floatTone(44100, 2, 1024));
    EXPECT_EQ(factoryCalls, 2);
}

TEST_F(PipelineFixture, OutputCapacityHasTenPercentHeadroom) {
    EXPECT_EQ(AudioConverterPipeline::outputCapacity(44100, 1024), 1227);
    EXPECT_EQ(AudioConverterPipeline::outputCapacity(48000, 480), 528);
}

TEST_F(PipelineFixture, AFailedFormatIsNotRetriedUntilReset) {
    factoryFails = true;
    for (int call = 1; call <= 11; ++call)
        EXPECT_EQ(pipeline.process(floatTone(22050, 1, 256)), std::nullopt);
    EXPECT_EQ(factoryCalls, 1);

    factoryFails = false;
    pipeline.reset();
    EXPECT_EQ(pipeline.processCount(), 0);
    auto out = pipeline.process(floatTone(48000, 1, 100));
    ASSERT_TRUE(out);
    EXPECT_EQ(factoryCalls, 2);
}

TEST_F(PipelineFixture, ResamplingIsContinuousAcrossCalls) {
    // 1 s of 44.1 kHz in 441-frame buffers makes very nearly 1 s at 48 kHz
    // once priming is over; chunk boundaries lose nothing.
    std::size_t frames = 0;
    for (int i = 0; i < 100; ++i) {
        if (auto out = pipeline.process(floatTone(44100, 2, 441)))
            frames += out->size() / 4;
    }
    EXPECT_GT(frames, 48000u - 1000);
    EXPECT_LE(frames, 48000u);
}

}  // namespace
}  // namespace ostrovane::streaming
