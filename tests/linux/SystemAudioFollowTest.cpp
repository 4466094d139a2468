// The helper binary's system audio on a desktop whose default output changes
// (headphones plugged in and out) and whose sound server restarts, seen as a
// parent sees it: frame arrival times, the tone in the frames, status lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "linux/HelperOnPulse.h"
#include "servers/PinnedTone.h"

namespace ostrovane::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Type = HelperFrames::Type;

constexpr const char* kHeadphones = "ostrovane_headphones";
const std::string kSpeakersTone = "module-sine frequency=1000 sink=ostrovane_speakers";
// A half-scale sine: RMS 0.354 of full scale.
constexpr double kToneLevel = 0.354;

// Two outputs playing 1000 Hz (speakers) and 440 Hz (headphones), each tone
// pinned to its output (a sine module or paplay would follow the default), a
// microphone, and the helper streaming from the speakers.
class SystemAudioFollow : public HelperOnDesktop {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(HelperOnDesktop::SetUp());
        ASSERT_TRUE(pulse.pactl(
            {"load-module", "module-null-sink", std::string("sink_name=") + kHeadphones}));
        for (auto [sink, hertz] :
             {std::pair{PrivatePulseServer::kSpeakers, 1000}, std::pair{kHeadphones, 440}}) {
            tones.push_back(std::make_unique<PinnedTone>(pulse.server(), sink, hertz));
            ASSERT_TRUE(tones.back()->playing()) << sink;
            // A sound card plays in small blocks; a null sink only while a
            // client asks it for low latency.
            clients.push_back(
                pulse.spawn({"parec", "-d", std::string(sink) + ".monitor", "--latency-msec=10"}));
        }
        ASSERT_TRUE(pulse.addSineSource("test_mic", "Test Microphone"));
        ASSERT_TRUE(pulse.pactl({"set-default-source", "test_mic"}));
        startHelper();
        helper->sendLine("START_STREAMING");
        ASSERT_TRUE(frames->waitForTone(Type::system, 1000, 0, 5, 10s));
    }

    std::vector<std::unique_ptr<PinnedTone>> tones;
    std::vector<SpawnedClient> clients;
};

TEST_F(SystemAudioFollow, TenOutputSwitchesInAMinuteKeepSystemAudioFlowingWithEachOutputsTone) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer: the helper falls behind real time over a minute of audio";
#endif
    const auto begun = Clock::now();
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE("switch " + std::to_string(i + 1));
        const bool headphones = i % 2 == 0;
        const auto from = frames->count(Type::system);
        const auto at = Clock::now();
        ASSERT_TRUE(pulse.pactl(
            {"set-default-sink", headphones ? kHeadphones : PrivatePulseServer::kSpeakers}));
        // Right after the switch: the new output's tone at its level.
        EXPECT_TRUE(frames->waitForTone(Type::system, headphones ? 440 : 1000, from, 10, 2s));
        EXPECT_NEAR(frames->meanLevel(Type::system, frames->count(Type::system) - 10), kToneLevel,
                    0.05);
        std::this_thread::sleep_until(at + 5s);  // ten in under a minute
    }
    // Each move costs the system mix a few tens of milliseconds at most.
    EXPECT_LT(frames->lostSeconds(Type::system, begun), 10 * 0.1);
    EXPECT_EQ(linesWith("SYSTEM_AUDIO_") + linesWith("RECOVERY_"), 0u);
}

class SystemAudioOutage : public SystemAudioFollow,
                          public ::testing::WithParamInterface<std::chrono::seconds> {};

TEST_P(SystemAudioOutage, BothStreamsResumeSoonAfterTheServerReturns) {
    pulse.kill();
    std::this_thread::sleep_for(GetParam());  // the outage itself
    // No server to answer: the helper still does.
    EXPECT_TRUE(helper->isRunning());
    const std::size_t asked = helper->errors().lines().size();
    helper->sendLine("HEALTH_CHECK");
    EXPECT_TRUE(helper->errors().waitForLineMatching(
        [](const std::string& l) { return l.starts_with("CMD_RESPONSE:HEALTH_OK:"); }, asked));
    const std::size_t restarted = helper->errors().lines().size();
    ASSERT_TRUE(pulse.restart({kSpeakersTone, "module-sine-source source_name=test_mic"}));
    const auto back = Clock::now();
    const auto [micFrom, systemFrom] = frames->counts();
    // About a second to reconnect, then the server's own delay before a new
    // recording's first audio; the microphone is the one it had.
    EXPECT_TRUE(frames->waitForTone(Type::system, 1000, systemFrom, 5, 3s));
    EXPECT_TRUE(frames->waitForTone(Type::mic, 440, micFrom, 5, 3s));
    for (Type type : {Type::system, Type::mic}) {
        const auto resumed = frames->of(type, type == Type::mic ? micFrom : systemFrom);
        ASSERT_FALSE(resumed.empty());
        EXPECT_LE(resumed.front().at - back, 3s);
    }
    // Neither the recovery budget nor a failure the parent would act on.
    EXPECT_EQ(linesWith("max attempts") + linesWith("STREAM_ERROR"), 0u);
    EXPECT_EQ(linesWith("RECOVERY_FAILED", restarted), 0u) << transcript();
}

INSTANTIATE_TEST_SUITE_P(Outages, SystemAudioOutage, ::testing::Values(2s, 20s),
                         [](const auto& info) { return std::to_string(info.param.count()) + "s"; });

}  // namespace
}  // namespace ostrovane::test
