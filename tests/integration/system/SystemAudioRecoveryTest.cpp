#include "integration/system/SystemAudioFixture.h"

namespace ostrovane::sources::system::testing {
namespace {

using platform::sim::SimOutcome;
namespace generators = platform::sim::generators;

const std::string kScheduled = "EVENT:SYSTEM_AUDIO_RECOVERY_SCHEDULED:";
const std::string kGaveUp =
    "EVENT:SYSTEM_AUDIO_STREAM_ERROR:System audio recovery gave up after 3 "
    "attempts (";

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
    EXPECT_TRUE(events(9.9).empty());

    EXPECT_THAT(events(10.0), ElementsAre(kScheduled + "callback_stalled_10s"));

    // The watchdog keeps ticking (11 s, 12 s) but asks in vain.
    EXPECT_TRUE(events(12.4).empty());
    EXPECT_EQ(sim.streamsMade(), 1);
    const auto first = sim.streams().at(0);

    EXPECT_TRUE(events(12.5).empty());
    ASSERT_EQ(sim.streamsMade(), 2);
    EXPECT_EQ(sim.capturingStreams(), 1u);
    EXPECT_EQ(sim.streams().back()->configuration(), first->configuration());
    EXPECT_THAT(outcomes.values(), ElementsAre("ok"));  // rebuilds never report an outcome

    // The rebuilt stream delivers.
    sim.setSystemAudio(generators::tone(440, 0.1));
    advanceTo(12.6);
    EXPECT_FALSE(chunks.values().empty());
}

TEST_F(SystemAudioRecoveryTest, TheNormalBudgetAllowsThreeRebuildsPerWindow) {
    startStalled();
    // Rebuilds at 12.5, 25.5 and 38.5 s; each rebuilt stream stalls again.
    EXPECT_EQ(linesStartingWith(events(48.0), kScheduled + "callback_stalled_10s").size(), 3u);
    EXPECT_EQ(sim.streamsMade(), 4);
    EXPECT_EQ(source->status().recoveryAttempts, 3);

    // The parent is told once, not every second until the window renews.
    EXPECT_THAT(events(49.0), ElementsAre(kGaveUp + "callback_stalled_10s)"));
    EXPECT_TRUE(events(300.0).empty());  // the window opened at start (0 s)

    EXPECT_THAT(events(301.0), ElementsAre(kScheduled + "callback_stalled_262s"));
    EXPECT_EQ(source->status().recoveryAttempts, 1);
}

TEST_F(SystemAudioRecoveryTest, ContentionPreemptsAPendingNormalRebuildWhichRefundsItsAttempt) {
    startStalled();
    advanceTo(11.0);  // a rebuild for the stall is pending
    newLines();
    sim.setSystemAudio(generators::tone(440, 0.1));
    sim.stopStreams(platform::kStreamContentionCode);
    EXPECT_THAT(events(), ElementsAre("EVENT:SYSTEM_AUDIO_CONTENTION:-3805",
                                      kScheduled + "contention_-3805"));

    // Rebuilt after 0.2 s; the first buffer proves the capture is ours again.
    advanceTo(11.2);
    EXPECT_EQ(sim.streamsMade(), 2);
    EXPECT_TRUE(source->status().inContentionRecovery);  // contention watch
    EXPECT_THAT(events(11.3), ElementsAre("EVENT:SYSTEM_AUDIO_CONTENTION_RESOLVED"));
    EXPECT_EQ(source->status().recoveryAttempts, 1);

    // The superseded normal rebuild comes due, stands aside and refunds.
    EXPECT_TRUE(events(12.5).empty());
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
    auto lines = events(3.9);
    EXPECT_EQ(linesStartingWith(lines, kScheduled + "contention_-3805").size(), 15u);
    EXPECT_EQ(linesStartingWith(lines, "EVENT:SYSTEM_AUDIO_CONTENTION_EXHAUSTED").size(), 0u);
    EXPECT_EQ(linesStartingWith(events(4.0), "EVENT:SYSTEM_AUDIO_CONTENTION_EXHAUSTED").size(), 1u);
    EXPECT_TRUE(source->isActive());
    EXPECT_EQ(sim.streamsMade(), 16);
    EXPECT_EQ(sim.capturingStreams(), 0u);

    // Back in normal watch: the 10 s stall rule takes over and, once the
    // service accepts again, the stream comes back.
    sim.setStartOutcome(SimOutcome::succeed());
    EXPECT_THAT(events(11.0), ElementsAre(kScheduled + "callback_stalled_10s"));
    advanceTo(13.6);
    EXPECT_EQ(sim.capturingStreams(), 1u);
}

TEST_F(SystemAudioRecoveryTest, ContentionWatchRetriesAfterTwoSilentSeconds) {
    startStalled();
    advanceTo(1.0);
    sim.stopStreams(platform::kStreamContentionCode);
    advanceTo(1.2);  // rebuilt, but the new stream stays silent
    newLines();
    EXPECT_TRUE(events(3.9).empty());
    // 2.8 s since the rebuild, first tick past the 2 s limit.
    EXPECT_THAT(events(4.0), ElementsAre(kScheduled + "contention_-3805"));
}

TEST_F(SystemAudioRecoveryTest, ErrorsAndWakeUpsAreClassifiedIntoReasons) {
    ASSERT_EQ(start(), "ok");
    advanceTo(1.0);
    newLines();

    // The display goes away: the rebuild finds nothing to capture.
    sim.removeDisplay(1);
    EXPECT_THAT(events(), ElementsAre(kScheduled + "display_unavailable_-3815"));
    advanceTo(3.5);
    EXPECT_TRUE(source->isActive());
    EXPECT_FALSE(source->status().hasStream);

    // Active without a stream: the stall rule tries again 10 s after the last audio.
    sim.addDisplay({.id = 1});
    EXPECT_THAT(events(11.0), ElementsAre(kScheduled + "callback_stalled_10s"));
    advanceTo(13.6);
    EXPECT_EQ(sim.capturingStreams(), 1u);
    const std::size_t before = chunks.size();
    advanceTo(13.7);
    EXPECT_GT(chunks.size(), before);

    // Any other code is a generic stream error; a wake-up asks as well but
    // only one rebuild is pending at a time.
    const auto streams = sim.streamsMade();
    sim.stopStreams(-3802);
    world.applications().postWake();
    EXPECT_THAT(events(), ElementsAre(kScheduled + "stream_error_-3802"));
    advanceTo(16.2);
    EXPECT_EQ(sim.streamsMade(), streams + 1);
    EXPECT_EQ(sim.capturingStreams(), 1u);

    // The wake-up after the window's three rebuilds is refused.
    world.applications().postWake();
    EXPECT_THAT(events(), ElementsAre(kGaveUp + "wake_notification)"));
}

TEST_F(SystemAudioRecoveryTest, AReplacedStreamIsIgnoredEntirely) {
    startStalled();
    const auto replaced = sim.streams().at(0);
    world.applications().postWake();
    EXPECT_THAT(events(2.5), ElementsAre(kScheduled + "wake_notification"));
    ASSERT_EQ(sim.streamsMade(), 2);
    const auto before = source->status();

    advanceTo(3.0);
    sim.setSystemAudio(generators::tone(440, 0.5));
    replaced->deliverLateCallbacks(platform::kStreamContentionCode, "Late");
    sim.setSystemAudio(generators::stall());
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(source->status().lastCallbackAt, before.lastCallbackAt);
    EXPECT_TRUE(chunks.values().empty());
}

TEST_F(SystemAudioRecoveryTest, StopOrForcedCleanUpMakesAPendingRebuildStale) {
    startStalled();
    advanceTo(10.0);
    ASSERT_TRUE(source->status().streamRecoveryScheduled);
    advanceTo(11.0);
    EXPECT_TRUE(stop());
    advanceTo(12.5);
    EXPECT_EQ(sim.streamsMade(), 1);
    EXPECT_TRUE(idle());

    // The same after a forced clean-up, even when a new start follows at once:
    // the old request must not tear down the new session's stream.
    ASSERT_EQ(start(), "ok");
    advanceTo(22.5);
    ASSERT_TRUE(source->status().streamRecoveryScheduled);
    source->forceCleanup();
    ASSERT_EQ(start(), "ok");
    advanceTo(25.0);
    EXPECT_EQ(sim.streamsMade(), 3);
    EXPECT_EQ(sim.capturingStreams(), 1u);
}

}  // namespace
}  // namespace ostrovane::sources::system::testing
