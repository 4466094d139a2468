// The helper binary's system audio on a desktop whose default output changes
// (headphones plugged in and out) and whose sound server restarts, seen as a
// parent sees it: frame arrival times, the tone in the frames, status lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "linux/HelperOnPulse.h"

namespace ostrovane::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Type = HelperFrames::Type;

constexpr const char* kHeadphones = "ostrovane_headphones";
const std::string kSpeakersTone = "module-sine frequency=1000 sink=ostrovane_speakers";

// Two outputs playing 1000 Hz (speakers) and 440 Hz (headphones), a
// microphone, and the helper streaming from the speakers.
class SystemAudioFollow : public HelperOnDesktop {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(HelperOnDesktop::SetUp());
        ASSERT_TRUE(pulse.pactl(
            {"load-module", "module-null-sink", std::string("sink_name=") + kHeadphones}));
        ASSERT_TRUE(pulse.pactl({"load-module", "module-sine", "frequency=1000",
                                 std::string("sink=") + PrivatePulseServer::kSpeakers}));
        ASSERT_TRUE(pulse.pactl(
            {"load-module", "module-sine", "frequency=440", std::string("sink=") + kHeadphones}));
        // A sound card plays in small blocks; a null sink only while a client
        // asks it for low latency.
        for (std::string sink : {PrivatePulseServer::kSpeakers, kHeadphones})
            players.push_back(pulse.spawn({"parec", "-d", sink + ".monitor", "--latency-msec=10"}));
        ASSERT_TRUE(pulse.addSineSource("test_mic", "Test Microphone"));
        ASSERT_TRUE(pulse.pactl({"set-default-source", "test_mic"}));
        startHelper();
        helper->sendLine("START_STREAMING");
        ASSERT_TRUE(frames->waitForTone(Type::system, 1000, 0, 5, 10s));
    }
    std::size_t linesWith(const std::string& part) {
        const auto lines = helper->errors().lines();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const auto& l) { return l.find(part) != std::string::npos; });
    }

    std::vector<SpawnedClient> players;
};

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
    ASSERT_TRUE(pulse.restart({kSpeakersTone, "module-sine-source source_name=test_mic"}));
    const auto back = Clock::now();
    const auto [micFrom, systemFrom] = frames->counts();
    ASSERT_TRUE(frames->waitForCounts({micFrom, systemFrom}, 10, 10, 6s))
        << frames->count(Type::system) - systemFrom << " system, "
        << frames->count(Type::mic) - micFrom << " mic frames";
    // About a second to reconnect, then the server's own delay of a second
    // or two before a new recording's first audio.
    EXPECT_LE(frames->of(Type::system, systemFrom).front().at - back, 4s);
    EXPECT_LE(frames->of(Type::mic, micFrom).front().at - back, 4s);
    EXPECT_TRUE(frames->waitForTone(Type::system, 1000, systemFrom, 5, 1s));
    EXPECT_EQ(linesWith("max attempts") + linesWith("STREAM_ERROR"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Outages, SystemAudioOutage, ::testing::Values(2s, 20s),
                         [](const auto& info) { return std::to_string(info.param.count()) + "s"; });

}  // namespace
}  // namespace ostrovane::test
