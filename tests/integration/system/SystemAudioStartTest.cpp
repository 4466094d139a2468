#include <gmock/gmock.h>

#include <future>

#include "integration/system/SystemAudioFixture.h"
#include "streaming/SimpleAudioStreamer.h"

namespace ostrovane::sources::system::testing {
namespace {

using platform::sim::SimOutcome;
using ::testing::ElementsAre;

const platform::Error kRefused{"SCStreamErrorDomain", -3801, "The user declined"};

using SystemAudioStartTest = SystemAudioFixture;

TEST_F(SystemAudioStartTest, StartOpensAnAudioStreamOnTheFirstDisplayUntilStoppedOrReleased) {
    sim.addDisplay({.id = 7, .width = 1280, .height = 720, .frame = {1920, 0, 1280, 720}});

    EXPECT_EQ(start(), "ok");
    EXPECT_THAT(outcomes.values(), ElementsAre("ok"));
    EXPECT_TRUE(source->isActive());

    ASSERT_EQ(sim.capturingStreams(), 1u);
    const auto stream = sim.streams().at(0);
    EXPECT_EQ(std::get<platform::Display>(stream->filter().target).displayId, 1u);
    const platform::StreamConfiguration& config = stream->configuration();
    EXPECT_EQ(std::tuple(config.capturesAudio, config.excludesCurrentProcessAudio,
                         config.sampleRate, config.channelCount),
              std::tuple(true, true, std::int64_t{48000}, std::int64_t{2}));
    EXPECT_TRUE(source->status().watchdogRunning);

    // Running: a second start is ignored, not an error.
    EXPECT_EQ(start(), "ok");
    EXPECT_EQ(sim.streams().size(), 1u);

    EXPECT_TRUE(stop());
    EXPECT_FALSE(source->isActive());
    EXPECT_EQ(sim.capturingStreams(), 0u);
    EXPECT_FALSE(source->status().watchdogRunning);
    newLines();

    // Stopping again, or a source that never started, says nothing.
    EXPECT_TRUE(stop());
    EXPECT_TRUE(newLines().empty());
    EXPECT_THAT(outcomes.values(), ElementsAre("ok"));

    // Released while running: its stream and its wake observer go with it.
    EXPECT_EQ(start(), "ok");
    EXPECT_EQ(world.applications().wakeObservers(), 1u);
    source.reset();
    clock.settle();
    EXPECT_EQ(sim.capturingStreams(), 0u);
    EXPECT_EQ(world.applications().wakeObservers(), 0u);
    world.applications().postWake();
    clock.settle();
}

TEST_F(SystemAudioStartTest, DeniedPermissionIsReportedOnceAndRecognisedByTheStreamer) {
    sim.setPermission(false);
    contract::Recorder<platform::Error> errors;
    source->start([&](platform::MaybeError error) {
        if (error)
            errors.add(*error);
    });
    clock.settle();

    EXPECT_THAT(events(), ElementsAre("CMD_RESPONSE:SCREEN_RECORDING_PERMISSION_DENIED:",
                                      "EVENT:SCREEN_RECORDING_PERMISSION_DENIED"));
    ASSERT_EQ(errors.size(), 1u);
    const platform::Error error = errors.values()[0];
    EXPECT_EQ(error.localizedDescription(), "permissionDenied");
    EXPECT_TRUE(source->isPermissionDenied(error));
    EXPECT_FALSE(source->isPermissionDenied(makeError(SystemAudioError::noDisplayFound)));
    EXPECT_FALSE(source->isPermissionDenied(kRefused));
    EXPECT_FALSE(source->isActive());
    EXPECT_FALSE(source->status().watchdogRunning);
    EXPECT_TRUE(sim.streams().empty());
    EXPECT_TRUE(outcomes.values().empty());

    // The source is idle again: a later start may succeed.
    sim.setPermission(true);
    EXPECT_EQ(start(), "ok");
    EXPECT_THAT(outcomes.values(), ElementsAre("ok"));
}

TEST_F(SystemAudioStartTest, FailedAndRejectedStartsLeaveTheSourceIdle) {
    sim.removeDisplay(1);
    EXPECT_EQ(start(), "noDisplayFound");
    EXPECT_FALSE(source->isActive());

    sim.addDisplay({.id = 1});
    sim.failShareableContent(kRefused);
    EXPECT_EQ(start(), "The user declined");
    EXPECT_FALSE(source->isActive());

    sim.failShareableContent(std::nullopt);
    sim.failAddOutput(platform::Error{"SCStreamErrorDomain", -3812, "No output"});
    EXPECT_EQ(start(), "No output");
    EXPECT_FALSE(source->isActive());
    EXPECT_FALSE(source->status().hasStream);
    EXPECT_TRUE(outcomes.values().empty());
    EXPECT_TRUE(events().empty());

    // A stream the service refuses to start: created and asked to start, the
    // rejection comes later, through the outcome.
    sim.failAddOutput(std::nullopt);
    sim.pushStartOutcome(SimOutcome::fail({"SCStreamErrorDomain", -3802, "Failed to start"}));
    EXPECT_EQ(start(), "ok");
    EXPECT_THAT(events(), ElementsAre("EVENT:SYSTEM_AUDIO_STREAM_ERROR:Failed to start"));
    EXPECT_THAT(outcomes.values(), ElementsAre("Failed to start"));
    EXPECT_FALSE(source->isActive());
    EXPECT_FALSE(source->status().watchdogRunning);
    EXPECT_EQ(sim.capturingStreams(), 0u);
}

// A stop before the service answers (the content query, or the start with a
// confirmation or a rejection): the late answer belongs to a session that is
// over, nothing reaches the parent and nothing is left running.
TEST_F(SystemAudioStartTest, AnAnswerThatComesAfterStopIsDiscarded) {
    for (const std::string held : {"content", "confirmation", "rejection"}) {
        SCOPED_TRACE(held);
        sim.holdContentAnswers(held == "content");
        sim.holdStartAnswers(held != "content");
        if (held == "rejection")
            sim.pushStartOutcome(SimOutcome::fail({"SCStreamErrorDomain", -3802, "Late"}));
        contract::Recorder<std::string> result;
        source->start(
            [&](platform::MaybeError e) { result.add(e ? e->localizedDescription() : "ok"); });
        clock.settle();
        ASSERT_EQ(sim.heldAnswers(), 1u);
        source->stop(nullptr);
        newLines();
        sim.releaseHeldAnswers();
        clock.settle();
        EXPECT_THAT(result.values(), ElementsAre("ok"));
        EXPECT_TRUE(events().empty());
        EXPECT_TRUE(outcomes.values().empty());
        EXPECT_EQ(sim.capturingStreams(), 0u);
        EXPECT_FALSE(source->isActive());
        EXPECT_EQ(clock.pendingTimers(), 0u);  // no watchdog either
        EXPECT_EQ(sim.streamsMade(), held == "content" ? 0 : held == "confirmation" ? 1 : 2);
    }
}

TEST_F(SystemAudioStartTest, StopFinishesAfterQueuedAudioAndRefusesStartsMeanwhile) {
    EXPECT_EQ(start(), "ok");
    advanceTo(0.1);

    // Hold the audio queue as a long audio callback would.
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    sim.streams().at(0)->audioQueue().async([open] { open.wait(); });

    contract::Recorder<int> stopped;
    source->stop([&] { stopped.add(1); });
    std::string during;
    source->start([&](platform::MaybeError e) { during = e ? e->localizedDescription() : "ok"; });
    EXPECT_EQ(during, "ok");
    EXPECT_EQ(stopped.size(), 0u);
    EXPECT_EQ(sim.capturingStreams(), 1u);  // not stopped under a running callback

    gate.set_value();
    clock.settle();
    EXPECT_EQ(stopped.size(), 1u);
    EXPECT_EQ(sim.capturingStreams(), 0u);
    EXPECT_EQ(sim.streamsMade(), 1);  // the start during the stop was ignored
    EXPECT_FALSE(source->isActive());
}

using StreamerIntegrationTest = SystemAudioFixture;

// The streamer with this source as its default system source and no
// microphone, as the app wires it (a confirmed start is followed through the
// app's START_STREAMING).
TEST_F(StreamerIntegrationTest, AStartThatIsNeverConfirmedIsCleanedUpByTheWatchdog) {
    sim.setStartOutcome(SimOutcome::never());
    contract::Recorder<std::string> acks;
    const auto streamer = streaming::SimpleAudioStreamer::create(streaming::StreamerEnvironment{
        text, out.frameWriter(), clock, nullptr,
        [this]() -> std::shared_ptr<streaming::AudioSource> {
            return SystemAudioSource::create({screen, world.platform().applications, text, clock});
        }});
    streamer->start([&acks](const platform::MaybeError& result) {
        acks.add(result ? result->localizedDescription() : "ok");
    });
    clock.settle();
    EXPECT_TRUE(acks.values().empty());
    advanceTo(4.0);
    EXPECT_THAT(acks.values(), ElementsAre("system_audio_negotiation_timeout"));
    EXPECT_TRUE(sim.streams().empty());  // the unconfirmed stream was let go
    EXPECT_FALSE(streamer->systemSource()->isActive());
    EXPECT_EQ(clock.pendingTimers(), 0u);  // no watchdog left ticking
    streamer->stop(nullptr);
    clock.settle();
}

}  // namespace
}  // namespace ostrovane::sources::system::testing
