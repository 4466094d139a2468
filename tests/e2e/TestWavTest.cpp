#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "protocol/FrameReader.h"
#include "support/HelperProcess.h"
#include "support/WavFile.h"

namespace ostrovane::test {
namespace {

using protocol::AudioProtocol;

bool isResponse(const std::string& line, const std::string& payload) {
    return line == "CMD_RESPONSE:" + payload;
}

TEST(TestWavThroughTheBinary, StreamsPacedMicAndSystemFramesUntilStopStreaming) {
    TempFile wav("tone.wav", makeWav(WavSpec{}, ramp(16000 / 2)));  // 0.5 s, 16 kHz mono
    HelperProcess helper(OSTROVANE_BINARY);
    helper.sendLine("TEST_WAV:" + wav.path());
    ASSERT_TRUE(helper.errors().waitForLine("CMD_RESPONSE:TEST_WAV:started:" + wav.path()));
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    helper.sendLine("STOP_STREAMING");
    ASSERT_TRUE(helper.errors().waitForLine("CMD_RESPONSE:STREAMING:stopped"));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const auto bytesAtStop = helper.outputBytes().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(helper.outputBytes().size(), bytesAtStop);  // nothing after the stop

    const auto frames = protocol::readAllFrames(helper.outputBytes());
    std::uint32_t counts[3] = {0, 0, 0};
    for (const auto& frame : frames) {
        const auto type = static_cast<int>(frame.type);
        ASSERT_TRUE(type == 1 || type == 2);
        ASSERT_EQ(frame.sequence, counts[type]) << "consecutive per stream";
        ++counts[type];
        ASSERT_EQ(frame.audio().sampleRate, 48000);
        ASSERT_EQ(frame.audio().channels, 2);
        ASSERT_EQ(frame.payload.size(), 3840u);
    }
    // Paced at one frame per 20 ms (a little slower: a fixed delay per frame).
    for (int type : {1, 2}) {
        EXPECT_GE(counts[type], seconds / 0.02 * 0.6) << type;
        EXPECT_LE(counts[type], seconds / 0.02 + 6) << type;
    }
    // Sample n of the file is held for six output samples (3x rate, 2x channels).
    const auto& first = frames.front().payload;
    for (std::size_t i = 0; i < first.size() / 2; ++i) {
        const auto sample = static_cast<std::int16_t>(first[2 * i] | first[2 * i + 1] << 8);
        ASSERT_EQ(sample, static_cast<std::int16_t>(i / 6)) << i;
    }

    helper.sendLine("STOP");
    EXPECT_EQ(helper.waitForExit(), 0);
}

TEST(TestWavThroughTheBinary, AnswersErrorsAndStopEndsAStreamingHelper) {
    WavSpec floatFile;
    floatFile.formatCode = 3;
    TempFile bad("bad.wav", makeWav(floatFile, ramp(1000)));
    TempFile good("good.wav", makeWav(WavSpec{}, ramp(1000)));
    HelperProcess helper(OSTROVANE_BINARY);
    helper.sendLine("TEST_WAV:" + bad.path());
    EXPECT_TRUE(helper.errors().waitForLine(
        "CMD_RESPONSE:TEST_WAV:error:Unsupported audio format: 3 (only PCM=1 supported)"));
    helper.sendLine("TEST_WAV:/no/such/file.wav");
    EXPECT_TRUE(helper.errors().waitForLineMatching([](const std::string& l) {
        return l.rfind("CMD_RESPONSE:TEST_WAV:error:", 0) == 0 &&
               l.find("file.wav") != std::string::npos;
    }));
    helper.sendLine("TEST_WAV:" + good.path());
    ASSERT_TRUE(helper.errors().waitForLine("CMD_RESPONSE:TEST_WAV:started:" + good.path()));
    helper.sendLine("stop");
    auto ok = helper.errors().waitForLineMatching(
        [](const std::string& l) { return isResponse(l, "STOPPED:ok"); });
    ASSERT_TRUE(ok);
    EXPECT_EQ(helper.waitForExit(), 0);
    const auto lines = helper.errors().lines();
    EXPECT_NE(std::find(lines.begin(), lines.begin() + static_cast<long>(*ok),
                        "SimpleAudioStreamer: STREAMING_STOPPED"),
              lines.begin() + static_cast<long>(*ok));
    EXPECT_NO_THROW(protocol::readAllFrames(helper.outputBytes()));
}

}  // namespace
}  // namespace ostrovane::test
