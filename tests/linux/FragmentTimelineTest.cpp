// What a record stream makes of the fragments it peeks, without a server.
#include <gtest/gtest.h>

#include <vector>

#include "platform/pulse/PulseSampleBuffer.h"

namespace ostrovane::platform::pulse {
namespace {

TEST(FragmentTimeline, HolesAndSkippedAudioKeepTheirPlaceInTime) {
    const StreamDescription stereo16{
        .sampleRate = 48000, .channelsPerFrame = 2, .bitsPerChannel = 16, .isSignedInteger = true};
    FragmentTimeline timeline(stereo16, 4);
    std::vector<std::byte> audio(480 * 4, std::byte{7});

    const auto first = timeline.take(audio.data(), audio.size(), true);
    EXPECT_EQ(timeline.take(nullptr, 960 * 4, true), nullptr);              // a hole
    EXPECT_EQ(timeline.take(audio.data(), audio.size(), false), nullptr);   // not ours
    const auto last = timeline.take(audio.data(), audio.size() + 3, true);  // a torn frame

    ASSERT_TRUE(first && last);
    EXPECT_EQ(first->presentationTime().value, 0);
    EXPECT_EQ(last->presentationTime().value, 480 + 960 + 480);
    EXPECT_EQ(last->presentationTime().timescale, 48000);
    EXPECT_EQ(last->frameCount(), 480);
}

}  // namespace
}  // namespace ostrovane::platform::pulse
