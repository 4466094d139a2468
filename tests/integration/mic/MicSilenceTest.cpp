#include <cmath>
#include <limits>

#include "integration/mic/MicFixture.h"

namespace ostrovane::sources::mic::testing {
namespace {

namespace generators = platform::sim::generators;

const std::string kAttempt1 = "RECOVERY_ATTEMPT:1:3:microphone is producing no audio";
const std::string kAttempt2 = "RECOVERY_ATTEMPT:2:3:microphone is producing no audio";
const std::string kAttempt3 = "RECOVERY_ATTEMPT:3:3:microphone is producing no audio";
const std::string kSilentFailure =
    "RECOVERY_FAILED:Your microphone is producing no audio \u2014 try switching your input device "
    "(e.g. unpair Bluetooth headphones):3";
const std::string kStalled = "RECOVERY_FAILED:microphone_stopped_delivering_audio:0";

class MicSilenceTest : public MicFixture {
  protected:
    void SetUp() override {
        addDevice({.uid = "mic-a", .name = "Mic A", .generator = generators::silence()}, true);
    }

    // Advances to `t` seconds after the start and returns the new lines.
    std::vector<std::string> until(double t) {
        clock.advance(dispatch::seconds(t) - (clock.uptime() - started_));
        return newLines();
    }

    void startAndMark() {
        started_ = clock.uptime();
        ASSERT_FALSE(startSource());
        newLines();
    }

    dispatch::Duration started_{0};
};

TEST_F(MicSilenceTest, SilenceTimelineAttemptsThreeRestartsThenReportsFailureThenRecovery) {
    startAndMark();
    auto lines = until(7.995);
    EXPECT_EQ(countPrefix(lines, "RECOVERY_"), 0u);

    lines = until(8.025);
    EXPECT_EQ(count(lines, kAttempt1), 1u);
    EXPECT_TRUE(
        has(lines, mic(kWarn + " Silent input detected \u2014 attempting aggressive same-device "
                               "recovery (no device switch)")));
    EXPECT_FALSE(has(lines, mic("Silent-input recovery: session restarted on same device")));
    EXPECT_TRUE(has(lines, "[MicPipeline] Pipeline reset"));

    // The restart happens 0.3 s later on the same device.
    lines = until(8.4);
    EXPECT_TRUE(has(lines, mic("Silent-input recovery: session restarted on same device")));
    EXPECT_TRUE(has(lines, mic("Using device: Mic A")));
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 1u);

    // Attempts 2 and 3 come 6 s apart; the failure 6 s after the third.
    lines = until(13.995);
    EXPECT_EQ(countPrefix(lines, "RECOVERY_"), 0u);
    lines = until(14.05);
    EXPECT_EQ(count(lines, kAttempt2), 1u);
    lines = until(19.99);
    EXPECT_EQ(countPrefix(lines, "RECOVERY_"), 0u);
    lines = until(20.1);
    EXPECT_EQ(count(lines, kAttempt3), 1u);
    lines = until(25.99);
    EXPECT_EQ(countPrefix(lines, "RECOVERY_"), 0u);
    lines = until(26.2);
    EXPECT_EQ(count(lines, kSilentFailure), 1u);

    // Alerted: further silence says nothing, and the watchdog has no reason to.
    lines = until(60);
    EXPECT_EQ(countPrefix(lines, "RECOVERY_"), 0u);

    world.audio().setGenerator("mic-a", generators::tone(440, 0.25));
    lines = until(60.05);
    EXPECT_EQ(count(lines, "RECOVERY_SUCCESS"), 1u);
    lines = until(90);
    EXPECT_EQ(countPrefix(lines, "RECOVERY_"), 0u);
}

TEST_F(MicSilenceTest, SoundAfterOneAttemptIsASuccessAndShortSilenceIsNot) {
    startAndMark();
    // Sound returns after 7.9 s: nothing to report; a new stretch starts afresh.
    until(7.9);
    world.audio().setGenerator("mic-a", generators::tone(440, 0.25));
    auto lines = until(8.5);
    world.audio().setGenerator("mic-a", generators::silence());
    lines = until(16.45);
    EXPECT_EQ(countPrefix(lines, "RECOVERY_"), 0u);
    lines = until(16.6);
    EXPECT_EQ(count(lines, kAttempt1), 1u);

    world.audio().setGenerator("mic-a", generators::tone(440, 0.25));
    lines = until(17.5);
    EXPECT_EQ(count(lines, "RECOVERY_SUCCESS"), 1u);
    EXPECT_EQ(countPrefix(lines, "RECOVERY_"), 1u);
}

TEST_F(MicSilenceTest, NaNSamplesCountAsSilence) {
    world.audio().setGenerator("mic-a",
                               generators::constant(std::numeric_limits<double>::quiet_NaN()));
    startAndMark();
    EXPECT_EQ(countPrefix(until(7.99), "RECOVERY_"), 0u);
    EXPECT_EQ(count(until(8.03), kAttempt1), 1u);
}

TEST_F(MicSilenceTest, AStopDuringTheRecoveryPauseKeepsTheSessionStopped) {
    startAndMark();
    auto lines = until(8.02);
    ASSERT_EQ(count(lines, kAttempt1), 1u);
    stopSource();
    lines = until(10);
    EXPECT_FALSE(has(lines, mic("Silent-input recovery: session restarted on same device")));
    EXPECT_EQ(world.audio().runningSessions("mic-a"), 0u);
    EXPECT_FALSE(source->isActive());

    // A new start begins a fresh silent stretch.
    startAndMark();
    EXPECT_EQ(countPrefix(until(7.99), "RECOVERY_"), 0u);
    EXPECT_EQ(count(until(8.03), kAttempt1), 1u);
}

TEST_F(MicSilenceTest, TheWatchdogReportsEachGapInDeliveryOnce) {
    world.audio().setGenerator("mic-a", generators::stall());
    startAndMark();
    auto lines = until(9.5);
    EXPECT_EQ(countPrefix(lines, "RECOVERY_"), 0u);
    lines = until(10.5);
    EXPECT_EQ(count(lines, kStalled), 1u);
    EXPECT_TRUE(
        has(lines, mic(kWarn + " No mic callbacks for 10s while active \u2014 input stopped "
                               "delivering frames")));
    lines = until(40);
    EXPECT_EQ(countPrefix(lines, "RECOVERY_"), 0u);

    // Buffers come back, then stop again: one more report, 10 s after the last.
    world.audio().setGenerator("mic-a", generators::tone(440, 0.25));
    until(41);
    world.audio().setGenerator("mic-a", generators::stall());
    lines = until(50.9);
    EXPECT_EQ(countPrefix(lines, "RECOVERY_"), 0u);
    lines = until(52);
    EXPECT_EQ(count(lines, kStalled), 1u);

    // A stopped source has no watchdog.
    stopSource();
    world.audio().setGenerator("mic-a", generators::tone(440, 0.25));
    until(53);
    world.audio().setGenerator("mic-a", generators::stall());
    EXPECT_EQ(countPrefix(until(80), "RECOVERY_"), 0u);
}

}  // namespace
}  // namespace ostrovane::sources::mic::testing
