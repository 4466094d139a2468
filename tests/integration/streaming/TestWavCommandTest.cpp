#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dispatch/ManualClock.h"
#include "support/InProcessApp.h"
#include "support/WavFile.h"

namespace ostrovane::app {
namespace {

using protocol::AudioProtocol;

// The app in-process on a manual clock, without live capture services; the
// answers, refusals and the way out through the binary are checked in e2e.
TEST(TestWavCommand, StreamsTheFileAsTwoPacedFrameStreamsUntilStopStreaming) {
    dispatch::ManualClock clock{1'765'000'000.0};
    test::InProcessApp app{clock, {}};
    // 48 kHz stereo: the file's bytes are the frames' bytes.
    const auto file = test::makeWav({.channels = 2, .sampleRate = 48000}, test::ramp(960 * 2 * 4));
    test::TempFile wav{"stereo.wav", file};

    app.send("TEST_WAV:" + wav.path());
    ASSERT_TRUE(app.answer("TEST_WAV:started:" + wav.path()));
    app.send("TEST_WAV:" + wav.path());
    EXPECT_TRUE(app.answer("TEST_WAV:error:streamer_already_active"));
    clock.advanceSeconds(0.5);
    app.send("STOP_STREAMING");
    ASSERT_TRUE(app.answer("STREAMING:stopped"));

    const auto frames = app.frames();
    std::uint32_t mic = 0, sys = 0;
    for (const auto& frame : frames) {
        auto& next = frame.type == AudioProtocol::FrameType::mic ? mic : sys;
        ASSERT_EQ(frame.sequence, next);
        ++next;
        ASSERT_EQ(frame.payload.size(), 3840u);
    }
    // One frame per 20 ms from each source, sent in 0.1 s passes.
    ASSERT_GE(mic, 20u);
    EXPECT_LE(mic, 27u);
    EXPECT_EQ(mic, sys);
    EXPECT_EQ(frames[0].payload,
              std::vector<std::uint8_t>(file.begin() + 44, file.begin() + 44 + 3840));

    clock.advanceSeconds(1);
    EXPECT_EQ(app.frames().size(), frames.size());  // nothing after the stop
}

}  // namespace
}  // namespace ostrovane::app
