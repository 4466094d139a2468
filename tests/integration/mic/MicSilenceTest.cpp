#include <cmath>
#include <limits>

#include "integration/mic/MicFixture.h"

namespace ostrovane::sources::mic::testing {
namespace {

namespace generators = platform::sim::generators;
using Lines = std::vector<std::string>;

const std::string kAttempt1 = "RECOVERY_ATTEMPT:1:3:microphone is producing no audio";
const std::string kSilentFailure =
    "RECOVERY_FAILED:Your microphone is producing no audio \u2014 try switching your input device "
    "(e.g. unpair Bluetooth headphones):3";
const std::string kStalled = "RECOVERY_FAILED:microphone_stopped_delivering_audio:0";

class MicSilenceTest : public MicFixture {
  protected:
    void SetUp() override {
        addDevice({.uid = "mic-a", .name = "Mic A", .generator = generators::silence()}, true);
    }

    void startAndMark() {
        started_ = clock.uptime();
        ASSERT_FALSE(startSource());
        newLines();
    }

    // The "RECOVERY_" lines written up to `t` seconds after the start.
    Lines recovery(double t) {
        clock.advance(dispatch::seconds(t) - (clock.uptime() - started_));
        Lines out;
        for (auto& line : newLines()) {
            if (line.starts_with("RECOVERY_"))
                out.push_back(std::move(line));
        }
        return out;
    }

    void play(platform::sim::SampleGenerator generator) {
        world.audio().setGenerator("mic-a", std::move(generator));
    }

    dispatch::Duration started_{0};
};

TEST_F(MicSilenceTest, ThreeSameDeviceRestartsSixSecondsApartThenTheFailureThenTheRecovery) {
    startAndMark();
    EXPECT_EQ(recovery(7.995), Lines{});
    EXPECT_EQ(recovery(8.025), Lines{kAttempt1});
    // The session on the same device pauses and runs again 0.3 s later.
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
    recovery(8.4);
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 1u);
    EXPECT_EQ(source->selectedDeviceID(), "mic-a");

    // Once alerted, further silence says nothing until sound returns.
    const std::vector<std::pair<double, Lines>> timeline{
        {13.995, {}}, {14.05, {"RECOVERY_ATTEMPT:2:3:microphone is producing no audio"}},
        {19.99, {}},  {20.1, {"RECOVERY_ATTEMPT:3:3:microphone is producing no audio"}},
        {25.99, {}},  {26.2, {kSilentFailure}},
        {60, {}}};
    for (const auto& [t, expected] : timeline)
        EXPECT_EQ(recovery(t), expected) << t;
    play(generators::tone(440, 0.25));
    EXPECT_EQ(recovery(60.05), Lines{"RECOVERY_SUCCESS"});
    EXPECT_EQ(recovery(90), Lines{});
}

TEST_F(MicSilenceTest, SoundAfterOneAttemptIsASuccessAndShortSilenceIsNot) {
    startAndMark();
    // Sound returns after 7.9 s: nothing to report; a new stretch starts afresh.
    recovery(7.9);
    play(generators::tone(440, 0.25));
    recovery(8.5);
    play(generators::silence());
    EXPECT_EQ(recovery(16.45), Lines{});
    EXPECT_EQ(recovery(16.6), Lines{kAttempt1});
    play(generators::tone(440, 0.25));
    EXPECT_EQ(recovery(17.5), Lines{"RECOVERY_SUCCESS"});
}

TEST_F(MicSilenceTest, AStopDuringTheRecoveryPauseKeepsTheSessionStopped) {
    startAndMark();
    ASSERT_EQ(recovery(8.02), Lines{kAttempt1});
    stopSource();
    recovery(10);
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
    EXPECT_FALSE(source->isActive());

    // A new start begins a fresh silent stretch; NaN samples are silence too.
    play(generators::constant(std::numeric_limits<double>::quiet_NaN()));
    startAndMark();
    EXPECT_EQ(recovery(7.99), Lines{});
    EXPECT_EQ(recovery(8.03), Lines{kAttempt1});
}

TEST_F(MicSilenceTest, TheWatchdogReportsEachGapInDeliveryOnce) {
    play(generators::stall());
    startAndMark();
    EXPECT_EQ(recovery(9.5), Lines{});
    EXPECT_EQ(recovery(10.5), Lines{kStalled});
    EXPECT_EQ(recovery(40), Lines{});

    // Buffers come back, then stop again: one more report, 10 s after the last.
    play(generators::tone(440, 0.25));
    recovery(41);
    play(generators::stall());
    EXPECT_EQ(recovery(50.9), Lines{});
    EXPECT_EQ(recovery(52), Lines{kStalled});

    // A stopped source has no watchdog.
    stopSource();
    play(generators::tone(440, 0.25));
    recovery(53);
    play(generators::stall());
    EXPECT_EQ(recovery(80), Lines{});
}

}  // namespace
}  // namespace ostrovane::sources::mic::testing
