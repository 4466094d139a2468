#include <cmath>
#include <cstring>
#include <future>
#include <numbers>

#include "integration/system/SystemAudioFixture.h"
#include "platform/sim/SimSampleBuffer.h"
#include "streaming/SimpleAudioStreamer.h"

namespace ostrovane::sources::system::testing {
namespace {

using platform::sim::SimOutcome;

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
    EXPECT_TRUE(idle());
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
    ASSERT_EQ(start(), "permissionDenied");
    EXPECT_THAT(events(), ElementsAre("CMD_RESPONSE:SCREEN_RECORDING_PERMISSION_DENIED:",
                                      "EVENT:SCREEN_RECORDING_PERMISSION_DENIED"));
    EXPECT_TRUE(source->isPermissionDenied(*startError));
    EXPECT_FALSE(source->isPermissionDenied(makeError(SystemAudioError::noDisplayFound)));
    EXPECT_FALSE(source->isPermissionDenied(kRefused));
    EXPECT_TRUE(idle());
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
    EXPECT_TRUE(idle());

    sim.addDisplay({.id = 1});
    sim.failShareableContent(kRefused);
    EXPECT_EQ(start(), "The user declined");
    EXPECT_TRUE(idle());

    sim.failShareableContent(std::nullopt);
    sim.failAddOutput(platform::Error{"SCStreamErrorDomain", -3812, "No output"});
    EXPECT_EQ(start(), "No output");
    EXPECT_TRUE(idle());
    EXPECT_TRUE(outcomes.values().empty());
    EXPECT_TRUE(events().empty());

    // A stream the service refuses to start: created and asked to start, the
    // rejection comes later, through the outcome.
    sim.failAddOutput(std::nullopt);
    sim.pushStartOutcome(SimOutcome::fail({"SCStreamErrorDomain", -3802, "Failed to start"}));
    EXPECT_EQ(start(), "ok");
    EXPECT_THAT(events(), ElementsAre("EVENT:SYSTEM_AUDIO_STREAM_ERROR:Failed to start"));
    EXPECT_THAT(outcomes.values(), ElementsAre("Failed to start"));
    EXPECT_TRUE(idle());
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
        EXPECT_TRUE(idle());
        EXPECT_EQ(clock.pendingTimers(), 0u);
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
    EXPECT_TRUE(idle());
    EXPECT_EQ(sim.streamsMade(), 1);  // the start during the stop was ignored
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

using platform::StreamDescription;
using platform::sim::BufferSlot;
using platform::sim::SampleGenerator;
using platform::sim::SimSampleBuffer;
using ::testing::Each;
using ::testing::SizeIs;

std::vector<std::int16_t> samplesOf(const std::vector<std::uint8_t>& chunk) {
    std::vector<std::int16_t> out(chunk.size() / 2);
    std::memcpy(out.data(), chunk.data(), out.size() * 2);
    return out;
}

// Buffers in a layout of the test's choosing, each sample from `value`.
SampleGenerator generator(StreamDescription layout, std::int64_t frames,
                          std::function<double(std::int64_t frame, std::size_t channel)> value,
                          bool described = true) {
    return [=](const BufferSlot& slot) -> std::shared_ptr<const platform::SampleBuffer> {
        const std::int64_t first = slot.index * frames;
        return std::make_shared<SimSampleBuffer>(
            layout, described, frames,
            platform::sim::renderPcm(
                layout, frames, [&](std::int64_t i, std::size_t c) { return value(first + i, c); }),
            slot.presentationTime);
    };
}

constexpr StreamDescription kPlanarFloat48k{48000, 2, 32, true, false, true, true, true};

using SystemAudioSamplePathTest = SystemAudioFixture;

// Float samples are scaled, integer samples taken for what they are (not
// reinterpreted as float); both come out as interleaved 16-bit chunks of the
// buffer's length.
TEST_F(SystemAudioSamplePathTest, FloatAndIntegerAudioBecomeInterleavedInt16ChunksOfTheSameLength) {
    const double step = 2 * std::numbers::pi * 440 / 48000;
    const std::pair<StreamDescription, std::function<double(std::int64_t, std::size_t)>> cases[] = {
        {kPlanarFloat48k,
         [step](std::int64_t i, auto) { return 0.1 * std::sin(step * double(i)); }},
        {{48000, 2, 16, false, true, false, true, true},
         [](std::int64_t i, std::size_t c) {
             return (c == 0 ? 1.0 : -1.0) * double(i % 100) / 32768.0;
         }},
    };
    double uptime = 0;
    for (const auto& [layout, value] : cases) {
        sim.setSystemAudio(generator(layout, 960, value), 960);
        chunks.clear();
        ASSERT_EQ(start(), "ok");
        advanceTo(uptime += 0.1);  // five 960-frame buffers
        const auto all = chunks.values();
        ASSERT_THAT(all, SizeIs(5));
        ASSERT_THAT(all, Each(SizeIs(960 * 4)));
        for (std::size_t k = 0; k < all.size(); ++k) {
            const auto samples = samplesOf(all[k]);
            for (std::size_t i = 0; i < 2 * 960; ++i) {
                const auto sample = static_cast<float>(value(std::int64_t(k * 960 + i / 2), i % 2));
                ASSERT_EQ(samples[i],
                          static_cast<std::int16_t>(std::lrint(double(sample) * 32768.0)))
                    << "chunk " << k << " sample " << i;
            }
        }
        EXPECT_TRUE(stop());
    }
}

TEST_F(SystemAudioSamplePathTest, ResampledOutputNeverExceedsTheExactCapacity) {
    EXPECT_EQ(SystemAudioConversion::outputCapacity(48000, 480, 44100), 523u);
    EXPECT_EQ(SystemAudioConversion::outputCapacity(48000, 960, 48000), 960u);

    sim.setSystemAudio(
        generator({44100, 2, 32, true, false, true, true, true}, 480,
                  [](std::int64_t i, std::size_t) {
                      return 0.2 * std::sin(2 * std::numbers::pi * 1000 * double(i) / 44100);
                  }),
        480);
    ASSERT_EQ(start(), "ok");
    advanceTo(1.0);  // 100 buffers of 480 frames at 44.1 kHz

    auto all = chunks.values();
    ASSERT_GE(all.size(), 100u);
    std::size_t total = 0;
    bool sawEmpty = false;
    for (const auto& chunk : all) {
        EXPECT_LE(chunk.size(), 523u * 4);
        EXPECT_EQ(chunk.size() % 4, 0u);
        sawEmpty = sawEmpty || chunk.empty();
        total += chunk.size() / 4;
    }
    // Everything but the resampler's delay (under 1000 frames) comes out:
    // 100 · 480 · 48000 / 44100 = 52245 frames. Priming chunks are passed on
    // empty rather than dropped.
    EXPECT_TRUE(sawEmpty);
    EXPECT_GT(total, 52245u - 1000);
    EXPECT_LE(total, 52245u);
}

TEST_F(SystemAudioSamplePathTest, BadBuffersAreDroppedButStillCountAsLife) {
    sim.setSystemAudio(generator(
                           kPlanarFloat48k, 960, [](auto, auto) { return 0.5; }, false),
                       960);
    ASSERT_EQ(start(), "ok");
    advanceTo(0.04);
    EXPECT_TRUE(chunks.values().empty());
    // The stream is alive even though its buffers are useless: no stall.
    EXPECT_DOUBLE_EQ(*source->status().lastCallbackAt, 0.04);

    const StreamDescription int24{48000, 2, 24, false, true, true, true, true};
    sim.setSystemAudio(generator(int24, 960, [](auto, auto) { return 0.5; }), 960);
    advanceTo(0.06);
    EXPECT_TRUE(chunks.values().empty());
    EXPECT_DOUBLE_EQ(*source->status().lastCallbackAt, 0.06);

    // A buffer without frames counts but produces nothing.
    sim.setSystemAudio(generator(kPlanarFloat48k, 0, [](auto, auto) { return 0.0; }), 960);
    advanceTo(0.08);
    EXPECT_TRUE(chunks.values().empty());
    EXPECT_EQ(source->status().callbackCount, 2);
}

}  // namespace
}  // namespace ostrovane::sources::system::testing
