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
    std::shared_ptr<ScriptedSource> mic =
        std::make_shared<ScriptedSource>(AudioProtocol::FrameType::mic);
    std::shared_ptr<ScriptedNegotiatingSource> system =
        std::make_shared<ScriptedNegotiatingSource>();
    contract::Recorder<platform::MaybeError> acknowledged;
    std::shared_ptr<SimpleAudioStreamer> streamer;

    ~StreamerFixture() override {
        streamer.reset();
        clock.settle();
    }

    StreamerEnvironment env() { return {out.text(), out.frameWriter(), clock, {}, {}}; }
    void make(std::shared_ptr<AudioSource> micSource, std::shared_ptr<AudioSource> systemSource) {
        streamer =
            SimpleAudioStreamer::create(env(), std::move(micSource), std::move(systemSource));
    }
    // New sources in a new streamer, nothing acknowledged yet.
    void fresh() {
        mic = std::make_shared<ScriptedSource>(AudioProtocol::FrameType::mic);
        system = std::make_shared<ScriptedNegotiatingSource>();
        acknowledged.clear();
        make(mic, system);
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

// A plain system source is acknowledged when its start returns, with no
// watchdog to answer again; empty slots are filled from the factories, and an
// empty system slot streams the microphone alone.
TEST_F(StreamerFixture, APlainOrAnEmptySystemSlotIsAcknowledgedOnceWhenTheStartReturns) {
    make(mic, std::make_shared<ScriptedSource>(AudioProtocol::FrameType::system));
    start();
    EXPECT_TRUE(streamer->isStreaming());
    clock.advanceSeconds(10);
    EXPECT_THAT(acks(), ElementsAre(std::nullopt));

    auto environment = env();
    environment.makeMicSource = [this] { return mic; };
    environment.makeSystemSource = [] { return nullptr; };
    streamer = SimpleAudioStreamer::create(environment);
    start();
    EXPECT_EQ(streamer->micSource(), mic);
    EXPECT_EQ(mic->starts.load(), 2);
    EXPECT_THAT(acks(), ElementsAre(std::nullopt, std::nullopt));
    EXPECT_TRUE(streamer->isStreaming());
}

// How a negotiating start ends: the capture outcome decides unless the 4 s
// watchdog comes first; a microphone that fails does not hold the start up.
// Whatever comes later is never acknowledged again.
TEST_F(StreamerFixture, TheCaptureOutcomeOrTheWatchdogAcknowledgesTheStartOnce) {
    const platform::Error rejected{"SCStreamErrorDomain", -3815, "no display"};
    struct Case {
        const char* name;
        bool micFails;
        std::optional<platform::MaybeError> outcome;  // sent at 3.9 s, unless none
        std::string ack;                              // "ok" or the error's description
        bool streaming;
        int cleanups;
    };
    const std::vector<Case> cases{
        {"confirmed", false, platform::MaybeError{}, "ok", true, 0},
        {"rejected", false, rejected, "no display", false, 0},
        {"microphone failed", true, platform::MaybeError{}, "ok", true, 0},
        {"never answered", false, std::nullopt, "system_audio_negotiation_timeout", false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        if (c.micFails)
            mic->failStartWith({"AVFoundationErrorDomain", -11800, "busy"});
        start();
        clock.advanceSeconds(3.9);
        EXPECT_THAT(acks(), IsEmpty());
        if (c.outcome)
            system->sendOutcome(*c.outcome);
        clock.advanceSeconds(0.1);
        ASSERT_THAT(acks(), SizeIs(1));
        EXPECT_EQ(acks()[0] ? acks()[0]->localizedDescription() : "ok", c.ack);
        EXPECT_EQ(streamer->isStreaming(), c.streaming);
        EXPECT_EQ(system->cleanups.load(), c.cleanups);
        EXPECT_NE(mic->isActive(), c.micFails);  // sources stay as they are until stop()

        system->sendOutcome();  // too late
        clock.advanceSeconds(5);
        EXPECT_THAT(acks(), SizeIs(1));
        EXPECT_EQ(streamer->isStreaming(), c.streaming);
    }
    EXPECT_TRUE(isStreamingAckError(*acks()[0], StreamingAckError::watchdogTimeout));
}

// A system source that fails to start is told to the parent on one line
// (unless permission was denied, which has its own event) and the microphone
// streams alone.
TEST_F(StreamerFixture, AFailedSystemStartIsReportedOnOneLineAndTheMicStreamsAlone) {
    const std::vector<std::pair<platform::Error, std::vector<std::string>>> cases = {
        {{"SCStreamErrorDomain", -3805, "taken\nby another app"},
         {"EVENT:SYSTEM_AUDIO_START_FAILED:taken by another app"}},
        {{"SCStreamErrorDomain", ScriptedNegotiatingSource::kPermissionDeniedCode, "denied"}, {}},
    };
    for (const auto& [error, events] : cases) {
        fresh();
        system->failStartWith(error);
        out.newLines();
        start();
        EXPECT_EQ(linesStartingWith(out.newLines(), "EVENT:"), events);
        EXPECT_THAT(acks(), ElementsAre(std::nullopt));
        EXPECT_TRUE(streamer->isStreaming());
        EXPECT_FALSE(system->hasOutcomeHandler());
        clock.advanceSeconds(5);
        EXPECT_EQ(system->cleanups.load(), 0);
    }
}

// MARK: stop races

// A stop while the system source negotiates silences the ack, and a late
// outcome only logs; a stop during the microphone's start aborts before the
// negotiation. A stopped streamer does not start again.
TEST_F(StreamerFixture, AStopDuringTheStartSilencesTheAckAndEndsTheStart) {
    make(mic, system);
    start();
    stop();
    EXPECT_EQ(mic->stops.load(), 1);
    EXPECT_EQ(system->stops.load(), 1);
    system->sendOutcome();
    clock.advanceSeconds(10);
    EXPECT_THAT(acks(), IsEmpty());
    EXPECT_EQ(system->cleanups.load(), 0);
    EXPECT_FALSE(streamer->isStreaming());
    start();
    ASSERT_THAT(acks(), SizeIs(1));
    EXPECT_EQ(acks()[0]->localizedDescription(), "stopped_before_start_completed");
    EXPECT_EQ(mic->starts.load(), 1);

    fresh();
    mic->holdStart();
    start();
    stop();
    mic->completeHeldStart();
    clock.advanceSeconds(10);
    EXPECT_EQ(system->starts.load(), 0);
    EXPECT_EQ(mic->stops.load(), 2);  // by stop() and by the aborted start
    EXPECT_THAT(acks(), IsEmpty());
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
            EXPECT_EQ(system->cleanups.load(), watchdogWon ? 1 : 0);
        }
        streamer.reset();
        clock.settle();
    }
}

// MARK: data path through the streamer

TEST_F(StreamerFixture, AudioBufferedDuringNegotiationLeavesInTheFirstPass) {
    make(mic, system);
    start();
    const std::vector<std::uint8_t> frame(3840, 0x11);
    for (int i = 0; i < 150; ++i) {  // 3 s of microphone audio
        mic->deliver(frame);
        if (i % 15 == 0)
            clock.advanceSeconds(0.3);
    }
    system->deliver(std::vector<std::uint8_t>(3840 * 2, 0x22));
    clock.settle();
    EXPECT_TRUE(out.frames().empty());
    system->sendOutcome();
    clock.settle();
    const auto frames = out.frames();
    ASSERT_EQ(frames.size(), 152u);
    for (std::uint32_t i = 0; i < 150; ++i) {
        ASSERT_EQ(frames[i].type, AudioProtocol::FrameType::mic);
        ASSERT_EQ(frames[i].sequence, i);
    }
    EXPECT_EQ(frames[150].type, AudioProtocol::FrameType::system);
    EXPECT_EQ(frames[151].sequence, 1u);
}

// Stopped or released, the streamer sends nothing more and late callbacks of
// its sources are harmless.
TEST_F(StreamerFixture, NothingIsSentAfterAStopOrARelease) {
    for (const bool release : {false, true}) {
        SCOPED_TRACE(release);
        const auto before = out.frames().size();
        make(mic, system);
        start();
        system->sendOutcome();
        mic->deliver(std::vector<std::uint8_t>(3840, 1));
        clock.advanceSeconds(0.1);
        ASSERT_EQ(out.frames().size(), before + 1);
        if (release)
            streamer.reset();
        else
            stop();
        mic->deliver(std::vector<std::uint8_t>(3840 * 3, 1));
        system->sendOutcome();
        clock.advanceSeconds(1);
        EXPECT_EQ(out.frames().size(), before + 1);
    }
}

}  // namespace
}  // namespace ostrovane::streaming
