#include <gmock/gmock.h>

#include "integration/system/SystemAudioFixture.h"

namespace ostrovane::sources::system::testing {
namespace {

using platform::sim::SimOutcome;
using ::testing::ElementsAre;
namespace generators = platform::sim::generators;

const std::string kContentionError =
    "SystemAudioSource: stream stopped with error: Error Domain=SCStreamErrorDomain Code=-3805 "
    "\"The stream stopped\" (code: -3805)";

// The system mix stays silent-without-buffers unless a test plays something.
class SystemAudioRecoveryTest : public SystemAudioFixture {
  protected:
    void startStalled() {
        sim.setSystemAudio(generators::stall());
        ASSERT_EQ(start(), "ok");
        newLines();
    }
};

TEST_F(SystemAudioRecoveryTest, AStallSchedulesOneRebuildThatRunsAfterTheDelay) {
    startStalled();
    advanceTo(9.9);
    EXPECT_TRUE(newLines().empty());

    advanceTo(10.0);
    EXPECT_THAT(newLines(),
                ElementsAre("SystemAudioSource: scheduling recovery (callback_stalled_10s) in 2.5s",
                            "EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:callback_stalled_10s"));
    EXPECT_TRUE(source->status().streamRecoveryScheduled);
    EXPECT_EQ(source->status().recoveryAttempts, 1);

    // The watchdog keeps ticking (11 s, 12 s) but asks in vain.
    advanceTo(12.4);
    EXPECT_TRUE(newLines().empty());
    EXPECT_EQ(sim.streamsMade(), 1);
    const auto first = sim.streams().at(0);

    advanceTo(12.5);
    EXPECT_THAT(newLines(), ElementsAre("SystemAudioSource: recovered (callback_stalled_10s)"));
    ASSERT_EQ(sim.streamsMade(), 2);
    EXPECT_EQ(sim.capturingStreams(), 1u);
    EXPECT_EQ(sim.streams().back()->configuration(), first->configuration());
    const auto status = source->status();
    EXPECT_FALSE(status.streamRecoveryScheduled);
    EXPECT_TRUE(status.hasStream);
    EXPECT_EQ(status.recoveryAttempts, 1);              // success does not give the attempt back
    EXPECT_THAT(outcomes.values(), ElementsAre("ok"));  // rebuilds never report an outcome

    // The rebuilt stream delivers.
    sim.setSystemAudio(generators::tone(440, 0.1));
    advanceTo(12.6);
    EXPECT_FALSE(chunks.values().empty());
}

TEST_F(SystemAudioRecoveryTest, TheNormalBudgetAllowsThreeRebuildsPerWindow) {
    startStalled();
    // Rebuilds at 12.5, 25.5 and 38.5 s; each rebuilt stream stalls again.
    advanceTo(48.0);
    auto lines = newLines();
    EXPECT_EQ(countContaining(lines, "scheduling recovery (callback_stalled_10s)"), 3u);
    EXPECT_EQ(countContaining(lines, "SystemAudioSource: recovered ("), 3u);
    EXPECT_EQ(source->status().recoveryAttempts, 3);

    // The parent is told once, not every second until the window renews.
    advanceTo(49.0);
    EXPECT_THAT(newLines(), ElementsAre("SystemAudioSource: recovery skipped (max attempts) "
                                        "reason=callback_stalled_10s",
                                        "EVENT:SYSTEM_AUDIO_STREAM_ERROR:System audio recovery "
                                        "gave up after 3 attempts (callback_stalled_10s)"));
    advanceTo(300.0);  // the window opened at start (0 s)
    EXPECT_TRUE(newLines().empty());

    advanceTo(301.0);
    EXPECT_THAT(
        newLines(),
        ElementsAre("SystemAudioSource: scheduling recovery (callback_stalled_262s) in 2.5s",
                    "EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:callback_stalled_262s"));
    EXPECT_EQ(source->status().recoveryAttempts, 1);
}

TEST_F(SystemAudioRecoveryTest, ContentionPreemptsAPendingNormalRebuildWhichRefundsItsAttempt) {
    startStalled();
    advanceTo(10.0);
    newLines();

    advanceTo(11.0);
    sim.setSystemAudio(generators::tone(440, 0.1));
    sim.stopStreams(platform::kStreamContentionCode);
    EXPECT_THAT(newLines(),
                ElementsAre(kContentionError,
                            "SystemAudioSource: contention detected (-3805) - another app "
                            "interrupted stream, fighting to reclaim...",
                            "EVENT:SYSTEM_AUDIO_CONTENTION:-3805",
                            "SystemAudioSource: preempting pending normal recovery with "
                            "contention path",
                            "SystemAudioSource: contention recovery 1/15 in 0.2s",
                            "EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:contention_-3805"));
    auto status = source->status();
    EXPECT_TRUE(status.streamRecoveryScheduled);
    EXPECT_TRUE(status.inContentionRecovery);

    // Rebuilt after 0.2 s; the first buffer proves the capture is ours again.
    // The interrupted stream had already stopped, as the service's answer says.
    advanceTo(11.2);
    EXPECT_THAT(newLines(),
                ElementsAre("SystemAudioSource: stopCapture completion error (contention_-3805): "
                            "Error Domain=SCStreamErrorDomain Code=-3808 \"The stream is not "
                            "running\"",
                            "SystemAudioSource: recovered (contention_-3805)"));
    EXPECT_TRUE(source->status().inContentionRecovery);  // contention watch
    advanceTo(11.3);
    auto lines = newLines();
    EXPECT_TRUE(contains(lines,
                         "SystemAudioSource: contention recovery succeeded - audio stream "
                         "reclaimed"));
    EXPECT_TRUE(contains(lines, "EVENT:SYSTEM_AUDIO_CONTENTION_RESOLVED"));
    status = source->status();
    EXPECT_FALSE(status.inContentionRecovery);
    EXPECT_FALSE(status.streamRecoveryScheduled);
    EXPECT_EQ(status.recoveryAttempts, 1);
    EXPECT_EQ(status.contentionRecoveryAttempts, 1);

    // The superseded normal rebuild comes due, stands aside and refunds.
    advanceTo(12.5);
    EXPECT_THAT(newLines(), ElementsAre("SystemAudioSource: rebuildStream skipped "
                                        "(callback_stalled_10s) - stale nonce or inactive"));
    EXPECT_EQ(source->status().recoveryAttempts, 0);
    EXPECT_EQ(sim.streamsMade(), 2);
}

TEST_F(SystemAudioRecoveryTest, FailingContentionRebuildsRetryAtOnceUntilTheBudgetIsSpent) {
    ASSERT_EQ(start(), "ok");
    advanceTo(1.0);
    newLines();
    sim.setStartOutcome(SimOutcome::fail({"SCStreamErrorDomain", -3802, "Busy"}));
    sim.stopStreams(platform::kStreamContentionCode);

    // 15 attempts, 0.2 s apart, each retried as soon as it failed.
    advanceTo(3.9);
    auto lines = newLines();
    EXPECT_EQ(countContaining(lines, "EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:contention_-3805"),
              15u);
    EXPECT_EQ(countContaining(lines, "EVENT:SYSTEM_AUDIO_CONTENTION_EXHAUSTED"), 0u);
    advanceTo(4.0);
    EXPECT_EQ(countContaining(newLines(), "EVENT:SYSTEM_AUDIO_CONTENTION_EXHAUSTED"), 1u);
    auto status = source->status();
    EXPECT_TRUE(status.isActive);
    EXPECT_FALSE(status.hasStream);
    EXPECT_FALSE(status.inContentionRecovery);
    EXPECT_FALSE(status.streamRecoveryScheduled);
    EXPECT_EQ(status.contentionRecoveryAttempts, 15);
    EXPECT_EQ(sim.streamsMade(), 16);
    EXPECT_EQ(sim.capturingStreams(), 0u);

    // Back in normal watch: the 10 s stall rule takes over and, once the
    // service accepts again, the stream comes back.
    sim.setStartOutcome(SimOutcome::succeed());
    advanceTo(11.0);
    EXPECT_THAT(newLines(),
                ElementsAre("SystemAudioSource: scheduling recovery (callback_stalled_10s) in 2.5s",
                            "EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:callback_stalled_10s"));
    advanceTo(13.6);
    EXPECT_TRUE(contains(newLines(), "SystemAudioSource: recovered (callback_stalled_10s)"));
    EXPECT_EQ(sim.capturingStreams(), 1u);
}

TEST_F(SystemAudioRecoveryTest, ContentionWatchRetriesAfterTwoSilentSeconds) {
    startStalled();
    advanceTo(1.0);
    sim.stopStreams(platform::kStreamContentionCode);
    advanceTo(1.2);  // rebuilt, but the new stream stays silent
    newLines();
    advanceTo(3.9);
    EXPECT_TRUE(newLines().empty());
    advanceTo(4.0);  // 2.8 s since the rebuild, first tick past the 2 s limit
    EXPECT_TRUE(contains(newLines(), "EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:contention_-3805"));
}

TEST_F(SystemAudioRecoveryTest, ErrorsAndWakeUpsAreClassifiedIntoReasons) {
    ASSERT_EQ(start(), "ok");
    advanceTo(1.0);
    newLines();

    // The display goes away: the rebuild finds nothing to capture.
    sim.removeDisplay(1);
    EXPECT_TRUE(
        contains(newLines(), "EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:display_unavailable_-3815"));
    advanceTo(3.5);
    EXPECT_TRUE(contains(newLines(),
                         "SystemAudioSource: recovery skipped (display_unavailable_-3815) - no "
                         "displays"));
    EXPECT_TRUE(source->isActive());
    EXPECT_FALSE(source->status().hasStream);

    // Active without a stream: the stall rule tries again 10 s after the last audio.
    sim.addDisplay({.id = 1});
    advanceTo(11.0);
    EXPECT_TRUE(contains(newLines(),
                         "SystemAudioSource: scheduling recovery (callback_stalled_10s) in 2.5s"));
    advanceTo(13.6);
    EXPECT_TRUE(contains(newLines(), "SystemAudioSource: recovered (callback_stalled_10s)"));
    const std::size_t before = chunks.size();
    advanceTo(13.7);
    EXPECT_GT(chunks.size(), before);

    // Any other code is a generic stream error; a wake-up asks as well but
    // only one rebuild is pending at a time.
    sim.stopStreams(-3802);
    world.applications().postWake();
    const auto lines = newLines();
    EXPECT_EQ(countContaining(lines, "EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:"), 1u);
    EXPECT_TRUE(contains(lines, "EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:stream_error_-3802"));
    advanceTo(16.2);
    EXPECT_TRUE(contains(newLines(), "SystemAudioSource: recovered (stream_error_-3802)"));

    // The wake-up after the window's three rebuilds is refused.
    world.applications().postWake();
    EXPECT_THAT(newLines(), ElementsAre("SystemAudioSource: recovery skipped (max attempts) "
                                        "reason=wake_notification",
                                        "EVENT:SYSTEM_AUDIO_STREAM_ERROR:System audio recovery "
                                        "gave up after 3 attempts (wake_notification)"));
}

TEST_F(SystemAudioRecoveryTest, AReplacedStreamIsIgnoredEntirely) {
    startStalled();
    const auto replaced = sim.streams().at(0);
    world.applications().postWake();
    advanceTo(2.5);
    auto lines = newLines();
    EXPECT_EQ(lines.front(), "SystemAudioSource: scheduling recovery (wake_notification) in 2.5s");
    EXPECT_EQ(lines.back(), "SystemAudioSource: recovered (wake_notification)");
    ASSERT_EQ(sim.streamsMade(), 2);
    const auto before = source->status();

    advanceTo(3.0);
    sim.setSystemAudio(generators::tone(440, 0.5));
    replaced->deliverLateCallbacks(platform::kStreamContentionCode, "Late");
    sim.setSystemAudio(generators::stall());
    EXPECT_THAT(newLines(), ElementsAre("SystemAudioSource: ignoring error from stale stream "
                                        "(code: -3805)"));
    const auto after = source->status();
    EXPECT_EQ(after.lastCallbackAt, before.lastCallbackAt);
    EXPECT_EQ(after.callbackCount, 0);
    EXPECT_FALSE(after.inContentionRecovery);
    EXPECT_FALSE(after.streamRecoveryScheduled);
    EXPECT_TRUE(chunks.values().empty());
}

TEST_F(SystemAudioRecoveryTest, StopOrForcedCleanUpMakesAPendingRebuildStale) {
    startStalled();
    advanceTo(10.0);
    ASSERT_TRUE(source->status().streamRecoveryScheduled);
    advanceTo(11.0);
    EXPECT_TRUE(stop());
    newLines();
    advanceTo(12.5);
    EXPECT_THAT(newLines(), ElementsAre("SystemAudioSource: rebuildStream skipped "
                                        "(callback_stalled_10s) - stale nonce or inactive"));
    EXPECT_EQ(sim.streamsMade(), 1);
    EXPECT_FALSE(source->isActive());
    EXPECT_EQ(sim.capturingStreams(), 0u);

    // The same after a forced clean-up, even when a new start follows at once:
    // the old request must not tear down the new session's stream.
    ASSERT_EQ(start(), "ok");
    advanceTo(22.5);
    ASSERT_TRUE(source->status().streamRecoveryScheduled);
    source->forceCleanup();
    ASSERT_EQ(start(), "ok");
    newLines();
    advanceTo(25.0);
    EXPECT_THAT(newLines(), ElementsAre("SystemAudioSource: rebuildStream skipped "
                                        "(callback_stalled_10s) - stale nonce or inactive"));
    EXPECT_EQ(sim.streamsMade(), 3);
    EXPECT_EQ(sim.capturingStreams(), 1u);
}

}  // namespace
}  // namespace ostrovane::sources::system::testing
