#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <vector>

#include "recorder/RecorderOptions.h"
#include "recorder/StreamStats.h"
#include "recorder/WavWriter.h"
#include "support/WavFile.h"

namespace ostrovane::tools {
namespace {

std::vector<std::uint8_t> pcmOf(std::initializer_list<std::int16_t> samples) {
    std::vector<std::uint8_t> bytes;
    for (std::int16_t s : samples) {
        bytes.push_back(static_cast<std::uint8_t>(s));
        bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8));
    }
    return bytes;
}

TEST(StreamStats, CountsGapsAcrossTheWrapMeasuresLevelsAndReadsTheHelpersDropTotals) {
    StreamStats stats;
    stats.addFrame(0xFFFFFFFE, pcmOf({16384, -16384}));
    stats.addFrame(0xFFFFFFFF, pcmOf({16384, -16384}));
    stats.addFrame(0, pcmOf({16384, -16384}));  // wrap: no gap
    stats.addFrame(3, pcmOf({-32768, 0}));      // 1 and 2 missing
    EXPECT_EQ(stats.frames(), 4u);
    EXPECT_EQ(stats.gaps(), 1u);
    EXPECT_EQ(stats.missingFrames(), 2u);
    EXPECT_NEAR(stats.peakDbfs(), 0.0, 1e-9);
    EXPECT_EQ(formatDbfs(stats.lastFrameRmsDbfs()), "-3.0 dBFS");
    EXPECT_EQ(formatDbfs(StreamStats{}.rmsDbfs()), "-inf dBFS");

    // The helper's drop report gives the totals per stream, nothing else does.
    const auto totals = droppedAudioTotals(
        "SimpleAudioStreamer: audio dropped (output too slow) mic=20ms sys=0ms since last "
        "report, total mic=120ms sys=3400ms");
    ASSERT_TRUE(totals);
    EXPECT_EQ(totals->first, 120);
    EXPECT_EQ(totals->second, 3400);
    EXPECT_FALSE(droppedAudioTotals("SimpleAudioStreamer: mic 5 frames (total: 500, RMS: 0.1)"));
    EXPECT_FALSE(droppedAudioTotals("SimpleAudioStreamer: audio dropped, total mic=x"));
}

// The file, its sizes filled in at the close, is the canonical WAV of the samples.
TEST(WavWriter, WritesACompleteHeaderForTheDataWritten) {
    const test::TempFile file("wav-writer.wav", {});
    {
        WavWriter wav(file.path(), 48000, 2);
        ASSERT_TRUE(wav.ok());
        wav.append(pcmOf({1, 2, 3, 4}));
        wav.append(pcmOf({5, 6}));
        EXPECT_TRUE(wav.close());
    }
    std::ifstream in(file.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(bytes, test::makeWav({.channels = 2, .sampleRate = 48000}, test::ramp(6, 1)));
}

TEST(RecorderOptions, ParsesOptionsAndCommandsAndRejectsBadOnes) {
    std::string error;
    auto defaults = parseRecorderOptions({}, error);
    ASSERT_TRUE(defaults);
    EXPECT_THAT(defaults->commands, ::testing::ElementsAre("START_STREAMING"));

    auto given = parseRecorderOptions(
        {"--duration", "2.5", "--out", "/tmp/x", "TEST_WAV:/a b.wav", "HEALTH_CHECK"}, error);
    ASSERT_TRUE(given);
    EXPECT_DOUBLE_EQ(given->durationSeconds, 2.5);
    EXPECT_EQ(given->outputDirectory, "/tmp/x");
    EXPECT_THAT(given->commands, ::testing::ElementsAre("TEST_WAV:/a b.wav", "HEALTH_CHECK"));

    EXPECT_FALSE(parseRecorderOptions({"--duration", "soon"}, error));
    EXPECT_FALSE(parseRecorderOptions({"--duration", "-1"}, error));
    EXPECT_FALSE(parseRecorderOptions({"--out"}, error));
    EXPECT_FALSE(parseRecorderOptions({"--bogus"}, error));
    EXPECT_FALSE(parseRecorderOptions({"A\nSTOP"}, error));
}

}  // namespace
}  // namespace ostrovane::tools
