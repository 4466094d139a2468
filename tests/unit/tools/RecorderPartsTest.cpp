#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "recorder/RecorderOptions.h"
#include "recorder/StreamStats.h"
#include "recorder/WavWriter.h"

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

TEST(WavWriter, WritesACompleteHeaderForTheDataWritten) {
    const auto path = std::filesystem::temp_directory_path() / "ostrovane-wav-writer-test.wav";
    {
        WavWriter wav(path.string(), 48000, 2);
        ASSERT_TRUE(wav.ok());
        wav.append(pcmOf({1, 2, 3, 4}));
        wav.append(pcmOf({5, 6}));
        EXPECT_TRUE(wav.close());
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    std::filesystem::remove(path);
    ASSERT_EQ(bytes.size(), 44u + 12u);
    auto u32 = [&](std::size_t at) {
        return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | bytes[at + 3] << 24;
    };
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
    EXPECT_EQ(u32(4), 36u + 12u);
    EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(u32(24), 48000u);
    EXPECT_EQ(u32(28), 48000u * 4);
    EXPECT_EQ(u32(40), 12u);
    EXPECT_EQ(bytes[44], 1);
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
