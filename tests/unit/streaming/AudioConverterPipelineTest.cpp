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

// One converter per input format; a format whose converter cannot be made is
// not tried again until the pipeline is reset.
TEST_F(PipelineFixture, ReusesOneConverterPerFormatAndRetriesAFailedOneOnlyAfterAReset) {
    auto first = pipeline.process(floatTone(48000, 2, 480));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 480u * 4);  // no resampling at equal rates
    ASSERT_TRUE(pipeline.process(floatTone(48000, 2, 480)));
    EXPECT_EQ(factoryCalls, 1);

    factoryFails = true;
    for (int call = 1; call <= 11; ++call)
        EXPECT_EQ(pipeline.process(floatTone(22050, 1, 256)), std::nullopt);
    EXPECT_EQ(factoryCalls, 2);

    factoryFails = false;
    pipeline.reset();
    EXPECT_EQ(pipeline.processCount(), 0);
    pipeline.process(floatTone(22050, 1, 256));  // the resampler's priming may give nothing
    EXPECT_EQ(factoryCalls, 3);
}

// Resampling across calls is followed through the microphone source, whose
// converted output of a 44.1 kHz device is measured by the second.

}  // namespace
}  // namespace ostrovane::streaming
