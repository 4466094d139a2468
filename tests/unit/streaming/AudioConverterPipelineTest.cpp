#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "streaming/AudioConverterPipeline.h"

namespace ostrovane::streaming {
namespace {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::PcmBuffer;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::StartsWith;

PcmBuffer floatTone(double rate, std::uint32_t channels, std::uint32_t frames) {
    PcmBuffer buffer(AudioFormat(CommonFormat::pcmFloat32, rate, channels, true), frames);
    float* samples = buffer.floatChannelData(0);
    for (std::uint32_t i = 0; i < frames * channels; ++i)
        samples[i] = 0.25f * static_cast<float>(std::sin(i * 0.01));
    buffer.setFrameLength(frames);
    return buffer;
}

struct PipelineFixture : ::testing::Test {
    std::vector<std::string> messages;
    int factoryCalls = 0;
    bool factoryFails = false;
    AudioConverterPipeline pipeline{
        [this](const std::string& m) { messages.push_back(m); },
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
    EXPECT_THAT(messages, ElementsAre("Created converter: 48000.0Hz/2ch -> 48000.0Hz/2ch",
                                      "Success #1: 480 frames in -> 480 frames out",
                                      "Success #2: 480 frames in -> 480 frames out",
                                      "Created converter: 44100.0Hz/2ch -> 48000.0Hz/2ch",
                                      StartsWith("Success #3: 1024 frames in -> ")));
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
    ASSERT_EQ(messages.size(), 10u);  // the 11th failing call is quiet
    EXPECT_EQ(messages[0], "FAILED to create converter from 22050.0Hz/1ch");
    EXPECT_EQ(messages[1], "No converter available");

    factoryFails = false;
    messages.clear();
    pipeline.reset();
    EXPECT_EQ(pipeline.processCount(), 0);
    auto out = pipeline.process(floatTone(48000, 1, 100));
    ASSERT_TRUE(out);
    EXPECT_EQ(factoryCalls, 2);
    EXPECT_THAT(messages, ElementsAre("Pipeline reset", StartsWith("Created converter: "),
                                      "Success #1: 100 frames in -> 100 frames out"));
}

// Disabled until the converter keeps the output it cannot place when a call
// fills the output buffer exactly: here it returns 39888 frames instead of
// about 47200 (with a 600-frame output buffer nothing is lost).
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
