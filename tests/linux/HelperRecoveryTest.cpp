// The helper binary against a private sound server that misbehaves the way
// real desktops do: another client kills our recording, the microphone has
// more channels than the stream carries.
#include <gtest/gtest.h>

#include <cstdlib>

#include "linux/HelperOnPulse.h"
#include "support/ToneFeeder.h"

namespace ostrovane::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kMic = HelperFrames::Type::mic;

using HelperRecovery = HelperOnDesktop;

// The microphone has four channels: the first is captured. Then another
// client kills the system recording: contention, and capture comes back.
TEST_F(HelperRecovery, AFourChannelMicIsCapturedFromItsFirstChannelAndContentionIsSurvived) {
    loadDesktop();
    auto source = pulse.addPipeSource("four_channel_mic", "Four Channel Microphone", 4);
    ASSERT_TRUE(source);
    ASSERT_TRUE(pulse.pactl({"set-default-source", "four_channel_mic"}));
    ToneFeeder tone(*source, 440);
    ASSERT_TRUE(tone.ok());

    startStreaming();
    ASSERT_TRUE(frames->waitForCounts({0, 0}, 100, 10, 15s)) << transcript();
    // Skip the first frames (the stream may begin with silence).
    const auto mark = frames->counts();
    ASSERT_TRUE(frames->waitForCounts(mark, 50, 0, 10s));
    // Half scale sine: RMS 0.354 on the first channel; the others are silent.
    EXPECT_NEAR(frames->meanLevel(kMic, mark.first), 0.354, 0.05);

    const auto recording = pulse.recordingNamed("Ostrovane system audio");
    ASSERT_TRUE(recording) << "no system recording";
    ASSERT_TRUE(pulse.killSourceOutput(*recording));
    EXPECT_TRUE(helper->errors().waitForLine("EVENT:SYSTEM_AUDIO_CONTENTION:-3805"));
    // The source fights back for the stream: system audio flows again.
    EXPECT_TRUE(frames->waitForCounts(frames->counts(), 0, 50, 15s));
}

}  // namespace
}  // namespace ostrovane::test
