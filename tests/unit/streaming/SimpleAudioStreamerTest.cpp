#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "contract/ProviderHarness.h"
#include "dispatch/ManualClock.h"
#include "streaming/SimpleAudioStreamer.h"
#include "support/MemoryChannels.h"
#include "unit/streaming/ScriptedSource.h"

namespace ostrovane::streaming {
namespace {

using protocol::AudioProtocol;
using test::linesStartingWith;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::ScriptedNegotiatingSource;
using testing::ScriptedSource;
using ::testing::SizeIs;

struct StreamerFixture : ::testing::Test {
    dispatch::ManualClock clock;
    test::MemoryChannels out;
    std::shared_ptr<ScriptedSource> mic;
    std::shared_ptr<ScriptedNegotiatingSource> system;
    contract::Recorder<platform::MaybeError> acknowledged;
    std::shared_ptr<SimpleAudioStreamer> streamer;

    StreamerFixture() { fresh(); }
    ~StreamerFixture() override {
        streamer.reset();
        clock.settle();
    }

    StreamerEnvironment env() { return {out.text(), out.frameWriter(), clock, {}, {}}; }
    // New sources in a new streamer, nothing acknowledged yet.
    void fresh() {
        mic = std::make_shared<ScriptedSource>(AudioProtocol::FrameType::mic);
        system = std::make_shared<ScriptedNegotiatingSource>();
        acknowledged.clear();
        streamer = SimpleAudioStreamer::create(env(), mic, system);
    }
    void start() {
        streamer->start([this](const platform::MaybeError& result) { acknowledged.add(result); });
        clock.settle();
    }
    std::vector<platform::MaybeError> acks() { return acknowledged.values(); }
    void stop() {
        std::atomic<bool> done{false};
        streamer->stop([&] { done = true; });
        clock.settle();
        ASSERT_TRUE(done.load());
    }
};

// MARK: resolution table

// How a start ends. A negotiating system source: the capture outcome decides
// unless the 4 s watchdog comes first, and a microphone that fails does not
// hold the start up. A plain system source, an empty system slot (the
// microphone then comes from its factory and streams alone) and a system
// source that fails to start are acknowledged when the start returns; a failed
// start is told to the parent on one line, unless permission was denied, which
// has its own event. Whatever comes later is never acknowledged again.
TEST_F(StreamerFixture, EveryWayAStartEndsAcknowledgesItOnce) {
    const platform::Error rejected{"SCStreamErrorDomain", -3815, "no display"};
    const platform::Error taken{"SCStreamErrorDomain", -3805, "taken\nby another app"};
    const platform::Error denied{"SCStreamErrorDomain",
                                 ScriptedNegotiatingSource::kPermissionDeniedCode, "denied"};
    const std::vector<std::string> takenLine{
        "EVENT:SYSTEM_AUDIO_START_FAILED:taken by another app"};
    const std::string timeout = "system_audio_negotiation_timeout";
    enum class Slot { negotiating, plain, empty };
    using enum Slot;
    struct Case {
        const char* name;
        Slot system;
        bool micFails;
        std::optional<platform::Error> systemFails;
        std::optional<platform::MaybeError> outcome;  // sent at 3.9 s, unless none
        std::string ack;  // "ok" or the error's description; the watchdog's cleans up
        std::vector<std::string> events;
    };
    const std::vector<Case> cases{
        {"plain system source", plain, false, {}, {}, "ok", {}},
        {"empty system slot", empty, false, {}, {}, "ok", {}},
        {"confirmed", negotiating, false, {}, platform::MaybeError{}, "ok", {}},
        {"rejected", negotiating, false, {}, rejected, "no display", {}},
        {"microphone failed", negotiating, true, {}, platform::MaybeError{}, "ok", {}},
        {"system taken", negotiating, false, taken, {}, "ok", takenLine},
        {"system denied", negotiating, false, denied, {}, "ok", {}},
        {"never answered", negotiating, false, {}, {}, timeout, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        const bool streaming = c.ack == "ok";
        const int cleanups = c.ack == timeout;
        if (c.system == plain)
            streamer = SimpleAudioStreamer::create(
                env(), mic, std::make_shared<ScriptedSource>(AudioProtocol::FrameType::system));
        if (c.system == empty)
            streamer =
                SimpleAudioStreamer::create({out.text(), out.frameWriter(), clock,
                                             [this] { return mic; }, [] { return nullptr; }});
        if (c.micFails)
            mic->failStartWith({"AVFoundationErrorDomain", -11800, "busy"});
        if (c.systemFails)
            system->failStartWith(*c.systemFails);
        out.newLines();
        start();
        const bool atOnce = c.system != negotiating || c.systemFails;
        clock.advanceSeconds(3.9);
        EXPECT_THAT(acks(), SizeIs(atOnce ? 1 : 0));
        EXPECT_NE(system->hasOutcomeHandler(), atOnce);
        if (c.outcome)
            system->sendOutcome(*c.outcome);
        clock.advanceSeconds(0.1);
        ASSERT_THAT(acks(), SizeIs(1));
        EXPECT_EQ(acks()[0] ? acks()[0]->localizedDescription() : "ok", c.ack);
        EXPECT_EQ(linesStartingWith(out.newLines(), "EVENT:"), c.events);
        EXPECT_EQ(streamer->isStreaming(), streaming);
        EXPECT_EQ(system->cleanups.load(), cleanups);
        EXPECT_EQ(streamer->micSource(), mic);
        EXPECT_EQ(mic->starts.load(), 1);
        EXPECT_NE(mic->isActive(), c.micFails);  // sources stay as they are until stop()

        system->sendOutcome();  // too late
        clock.advanceSeconds(5);
        EXPECT_THAT(acks(), SizeIs(1));
        EXPECT_EQ(streamer->isStreaming(), streaming);
        EXPECT_EQ(system->cleanups.load(), cleanups);
    }
    EXPECT_TRUE(isStreamingAckError(*acks()[0], StreamingAckError::watchdogTimeout));
}

// MARK: stop races

// A stop while the system source negotiates silences the ack, and a late
// outcome only logs; a stop during the microphone's start aborts before the
// negotiation. A stopped streamer does not start again.
TEST_F(StreamerFixture, AStopDuringTheStartSilencesTheAckAndEndsTheStart) {
    for (const bool duringMicStart : {false, true}) {
        SCOPED_TRACE(duringMicStart);
        fresh();
        if (duringMicStart)
            mic->holdStart();
        start();
        stop();
        if (duringMicStart)
            mic->completeHeldStart();
        system->sendOutcome();
        clock.advanceSeconds(10);
        EXPECT_THAT(acks(), IsEmpty());
        EXPECT_EQ(system->starts.load(), duringMicStart ? 0 : 1);
        EXPECT_EQ(mic->stops.load(), duringMicStart ? 2 : 1);  // and by the aborted start
        EXPECT_EQ(system->stops.load(), 1);
        EXPECT_EQ(system->cleanups.load(), 0);
        EXPECT_FALSE(streamer->isStreaming());
        start();
        ASSERT_THAT(acks(), SizeIs(1));
        EXPECT_EQ(acks()[0]->localizedDescription(), "stopped_before_start_completed");
        EXPECT_EQ(mic->starts.load(), 1);
    }
}

// The outcome and the watchdog at nearly the same instant, many times: one of
// them decides, exactly once, and the other leaves no trace.
// Every fourth round three outcomes race a stop: never more than one ack.
TEST_F(StreamerFixture, RacingOutcomesWatchdogAndStopAcknowledgeAtMostOnce) {
    for (int round = 0; round < 40; ++round) {
        fresh();
        const bool withStop = round % 4 == 3;
        start();
        clock.advance(streaming::SimpleAudioStreamer::streamingAckWatchdogTimeout -
                      dispatch::Duration(1));
        {
            std::vector<std::jthread> threads;
            for (int t = 0; t < (withStop ? 3 : 1); ++t)
                threads.emplace_back([&, t] {
                    system->sendOutcome((round + t) % 2 ? platform::MaybeError{}
                                                        : platform::Error{"d", t, "x"});
                });
            if (withStop)
                threads.emplace_back([&] { streamer->stop({}); });
            clock.advance(dispatch::Duration(1));
        }
        clock.settle();
        ASSERT_LE(acks().size(), 1u) << round;
        if (!withStop) {
            ASSERT_THAT(acks(), SizeIs(1)) << round;
            const bool watchdogWon =
                acks()[0] && isStreamingAckError(*acks()[0], StreamingAckError::watchdogTimeout);
            EXPECT_EQ(system->cleanups.load(), watchdogWon ? 1 : 0) << round;
        }
    }
}

// MARK: data path through the streamer

// Audio buffered while the system source negotiates leaves in the first pass
// after the outcome. Stopped or released, the streamer sends nothing more and
// late callbacks of its sources are harmless.
TEST_F(StreamerFixture, BufferedAudioLeavesInTheFirstPassAndNothingAfterAStopOrARelease) {
    for (const bool release : {false, true}) {
        SCOPED_TRACE(release);
        fresh();
        const auto before = out.frames().size();
        start();
        const std::vector<std::uint8_t> frame(3840, 0x11);
        for (int i = 0; i < 150; ++i) {  // 3 s of microphone audio
            mic->deliver(frame);
            if (i % 15 == 0)
                clock.advanceSeconds(0.3);
        }
        system->deliver(std::vector<std::uint8_t>(3840 * 2, 0x22));
        clock.settle();
        EXPECT_EQ(out.frames().size(), before);
        system->sendOutcome();
        clock.settle();
        auto frames = out.frames();
        frames.erase(frames.begin(), frames.begin() + std::ptrdiff_t(before));
        ASSERT_EQ(frames.size(), 152u);
        for (std::uint32_t i = 0; i < 150; ++i) {
            ASSERT_EQ(frames[i].type, AudioProtocol::FrameType::mic);
            ASSERT_EQ(frames[i].sequence, i);
        }
        EXPECT_EQ(frames[150].type, AudioProtocol::FrameType::system);
        EXPECT_EQ(frames[151].sequence, 1u);
        if (release)
            streamer.reset();
        else
            stop();
        mic->deliver(std::vector<std::uint8_t>(3840 * 3, 1));
        system->sendOutcome();
        clock.advanceSeconds(1);
        EXPECT_EQ(out.frames().size(), before + 152);
    }
}

}  // namespace
}  // namespace ostrovane::streaming
