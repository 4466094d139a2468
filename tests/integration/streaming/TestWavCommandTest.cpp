#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dispatch/ManualClock.h"
#include "support/InProcessApp.h"
#include "support/WavFile.h"

namespace ostrovane::app {
namespace {

using protocol::AudioProtocol;

// The app in-process on a manual clock, without live capture services.
class TestWavCommand : public ::testing::Test {
  protected:
    void send(const std::string& line) { app.send(line); }
    std::optional<std::size_t> answer(const std::string& line) { return app.answer(line); }

    dispatch::ManualClock clock{1'765'000'000.0};
    test::InProcessApp app{clock, {}};
    // 48 kHz stereo: the file's bytes are the frames' bytes.
    test::TempFile wav{"stereo.wav", test::makeWav(
                                         [] {
                                             test::WavSpec spec;
                                             spec.sampleRate = 48000;
                                             spec.channels = 2;
                                             return spec;
                                         }(),
                                         test::ramp(960 * 2 * 4))};
};

TEST_F(TestWavCommand, StreamsTheFileAsTwoPacedFrameStreamsUntilStopStreaming) {
    send("TEST_WAV:" + wav.path());
    ASSERT_TRUE(answer("TEST_WAV:started:" + wav.path()));
    clock.advanceSeconds(0.5);
    send("STOP_STREAMING");
    auto stopped = answer("STREAMING:stopped");
    ASSERT_TRUE(stopped);
    const auto lines = app.errors().lines();
    const std::vector<std::string> beforeAnswer(lines.begin(), lines.begin() + *stopped);
    EXPECT_TRUE(test::hasLine(beforeAnswer, "SimpleAudioStreamer: STREAMING_STOPPED"));
    EXPECT_TRUE(test::hasLine(beforeAnswer, "SimpleAudioStreamer: data stream ended"));

    const auto frames = app.frames();
    std::uint32_t mic = 0, sys = 0;
    const auto file = test::makeWav({}, test::ramp(960 * 2 * 4));
    for (const auto& frame : frames) {
        auto& next = frame.type == AudioProtocol::FrameType::mic ? mic : sys;
        ASSERT_EQ(frame.sequence, next);
        ++next;
        ASSERT_EQ(frame.payload.size(), 3840u);
    }
    // One frame per 20 ms from each source, sent in 0.1 s passes.
    EXPECT_GE(mic, 20u);
    EXPECT_LE(mic, 27u);
    EXPECT_EQ(mic, sys);
    EXPECT_EQ(frames[0].payload,
              std::vector<std::uint8_t>(file.begin() + 44, file.begin() + 44 + 3840));

    clock.advanceSeconds(1);
    EXPECT_EQ(app.frames().size(), frames.size());  // nothing after the stop
    send("STOP_STREAMING");                         // no streamer: still answered
    EXPECT_TRUE(app.errors().waitForLine("CMD_RESPONSE:STREAMING:stopped", *stopped + 1));
}

TEST_F(TestWavCommand, RefusesASecondStreamerAndStopStopsTheStreamerFirst) {
    send("TEST_WAV:" + wav.path());
    ASSERT_TRUE(answer("TEST_WAV:started:" + wav.path()));
    send("TEST_WAV:" + wav.path());
    auto refused = answer("TEST_WAV:error:streamer_already_active");
    ASSERT_TRUE(refused);
    // The path is logged before the refusal (other threads' lines may come between).
    const auto lines = app.errors().lines();
    EXPECT_EQ(std::count(lines.begin(), lines.begin() + static_cast<long>(*refused),
                         "TEST_WAV command: path=" + wav.path()),
              2);

    send("STOP");
    auto ok = answer("STOPPED:ok");
    ASSERT_TRUE(ok);
    const auto atStop = app.errors().lines();
    const auto streamerStopped =
        std::find(atStop.begin(), atStop.end(), "SimpleAudioStreamer: STREAMING_STOPPED");
    ASSERT_NE(streamerStopped, atStop.end());
    EXPECT_LT(streamerStopped - atStop.begin(), static_cast<long>(*ok));
    clock.advance(dispatch::milliseconds(100));
    EXPECT_EQ(app.exitStatus(), 0);
}

}  // namespace
}  // namespace ostrovane::app
