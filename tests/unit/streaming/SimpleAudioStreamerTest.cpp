#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "dispatch/ManualClock.h"
#include "streaming/SimpleAudioStreamer.h"
#include "support/MemoryChannels.h"
#include "unit/streaming/ScriptedSource.h"

namespace ostrovane::streaming {
namespace {

using protocol::AudioProtocol;
using test::hasLine;
using test::linesStartingWith;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Optional;
using testing::ScriptedNegotiatingSource;
using testing::ScriptedSource;
using ::testing::SizeIs;

constexpr const char* kWatchdogLine =
    "SimpleAudioStreamer: streaming ack watchdog fired after 4.0s - forcing system audio cleanup";
constexpr const char* kLostRace = "SimpleAudioStreamer: finishStreamingStart lost the ack race";

struct StreamerFixture : ::testing::Test {
    dispatch::ManualClock clock;
    test::MemoryChannels out;
    std::shared_ptr<ScriptedSource> mic =
        std::make_shared<ScriptedSource>(AudioProtocol::FrameType::mic);
    std::shared_ptr<ScriptedNegotiatingSource> system =
        std::make_shared<ScriptedNegotiatingSource>();
    std::mutex ackMutex;
    std::vector<platform::MaybeError> _acks;
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
    void start() {
        streamer->start([this](const platform::MaybeError& result) {
            std::lock_guard lock(ackMutex);
            _acks.push_back(result);
        });
        clock.settle();
    }
    std::vector<platform::MaybeError> acks() {
        std::lock_guard lock(ackMutex);
        return _acks;
    }
    void stop() {
        std::atomic<bool> done{false};
        streamer->stop([&] { done = true; });
        clock.settle();
        ASSERT_TRUE(done.load());
    }
    std::vector<std::string> lines() const { return out.lines(); }
    std::size_t count(const std::string& prefix) const {
        return linesStartingWith(lines(), prefix).size();
    }
};

// MARK: resolution table

TEST_F(StreamerFixture, APlainSystemSourceIsAcknowledgedWhenItsStartReturnsWithoutWatchdog) {
    auto plainSystem = std::make_shared<ScriptedSource>(AudioProtocol::FrameType::system);
    make(mic, plainSystem);
    start();
    EXPECT_THAT(acks(), ElementsAre(std::nullopt));
    EXPECT_TRUE(streamer->isStreaming());
    clock.advanceSeconds(10);
    EXPECT_EQ(count(kWatchdogLine), 0u);
}

TEST_F(StreamerFixture, EmptySlotsAreFilledFromTheFactoriesAndAnEmptySystemSlotStreamsTheMic) {
    auto environment = env();
    environment.makeMicSource = [this] { return mic; };
    environment.makeSystemSource = [] { return nullptr; };
    streamer = SimpleAudioStreamer::create(environment);
    start();
    EXPECT_EQ(streamer->micSource(), mic);
    EXPECT_EQ(mic->starts.load(), 1);
    EXPECT_THAT(acks(), ElementsAre(std::nullopt));
    EXPECT_TRUE(hasLine(lines(), "SimpleAudioStreamer: system source started"));
}

TEST_F(StreamerFixture, CaptureOutcomeSuccessStartsStreamingAndTheWatchdogStaysQuiet) {
    make(mic, system);
    start();
    EXPECT_THAT(acks(), IsEmpty());
    EXPECT_TRUE(hasLine(
        lines(), "SimpleAudioStreamer: system source negotiating (awaiting SCK completion)"));
    clock.advanceSeconds(3);
    system->sendOutcome();
    clock.settle();
    EXPECT_THAT(acks(), ElementsAre(std::nullopt));
    EXPECT_TRUE(streamer->isStreaming());
    clock.advanceSeconds(5);
    EXPECT_EQ(count(kWatchdogLine), 0u);
    EXPECT_EQ(system->cleanups.load(), 0);
}

TEST_F(StreamerFixture, CaptureOutcomeFailureIsAcknowledgedAndNothingStreams) {
    make(mic, system);
    start();
    const platform::Error rejected{"SCStreamErrorDomain", -3815, "no display"};
    system->sendOutcome(rejected);
    clock.settle();
    EXPECT_THAT(acks(), ElementsAre(Optional(rejected)));
    EXPECT_FALSE(streamer->isStreaming());
    EXPECT_EQ(count("SimpleAudioStreamer: system audio negotiation failed: "), 1u);
    EXPECT_TRUE(mic->isActive());  // sources stay as they are until stop()
}

TEST_F(StreamerFixture, TheWatchdogEndsANegotiationThatNeverCompletes) {
    make(mic, system);
    start();
    clock.advanceSeconds(3.9);
    EXPECT_THAT(acks(), IsEmpty());
    clock.advanceSeconds(0.1);
    ASSERT_THAT(acks(), SizeIs(1));
    EXPECT_EQ(acks()[0]->localizedDescription(), "system_audio_negotiation_timeout");
    EXPECT_TRUE(isStreamingAckError(*acks()[0], StreamingAckError::watchdogTimeout));
    EXPECT_EQ(system->cleanups.load(), 1);
    EXPECT_TRUE(hasLine(lines(), kWatchdogLine));
    EXPECT_TRUE(mic->isActive());

    system->sendOutcome();  // too late
    clock.settle();
    EXPECT_THAT(acks(), SizeIs(1));
    EXPECT_TRUE(hasLine(lines(), std::string(kLostRace) +
                                     " (result=success) - another resolution already won, "
                                     "skipping side effects"));
    EXPECT_FALSE(streamer->isStreaming());
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
        system = std::make_shared<ScriptedNegotiatingSource>();
        system->failStartWith(error);
        const auto before = linesStartingWith(lines(), "EVENT:").size();
        make(mic, system);
        start();
        auto sent = linesStartingWith(lines(), "EVENT:");
        sent.erase(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(before));
        EXPECT_EQ(sent, events);
        ASSERT_FALSE(acks().empty());
        EXPECT_FALSE(acks().back());
        EXPECT_TRUE(streamer->isStreaming());
        EXPECT_FALSE(system->hasOutcomeHandler());
        clock.advanceSeconds(5);
        EXPECT_EQ(count(kWatchdogLine), 0u);
    }
}

TEST_F(StreamerFixture, AMicrophoneThatFailsIsLoggedAndTheStartGoesOn) {
    mic->failStartWith({"AVFoundationErrorDomain", -11800, "busy"});
    make(mic, system);
    start();
    system->sendOutcome();
    clock.settle();
    EXPECT_THAT(acks(), ElementsAre(std::nullopt));
    EXPECT_EQ(count("SimpleAudioStreamer: mic source failed to start: "), 1u);
}

// MARK: stop races

TEST_F(StreamerFixture, StopWhileNegotiatingSilencesTheAckAndALateOutcomeOnlyLogs) {
    make(mic, system);
    start();
    stop();
    EXPECT_EQ(mic->stops.load(), 1);
    EXPECT_EQ(system->stops.load(), 1);
    system->sendOutcome();
    clock.advanceSeconds(10);
    EXPECT_THAT(acks(), IsEmpty());
    EXPECT_EQ(count(kLostRace), 1u);
    EXPECT_EQ(count(kWatchdogLine), 0u);
    EXPECT_FALSE(streamer->isStreaming());
    const auto own = linesStartingWith(lines(), "SimpleAudioStreamer: ");
    EXPECT_EQ(own.back().rfind(kLostRace, 0), 0u);
    EXPECT_TRUE(hasLine(lines(), "SimpleAudioStreamer: STREAMING_STOPPED"));
}

TEST_F(StreamerFixture, StartingAStoppedStreamerFailsWithStoppedBeforeStart) {
    make(mic, system);
    stop();
    start();
    ASSERT_THAT(acks(), SizeIs(1));
    EXPECT_EQ(acks()[0]->localizedDescription(), "stopped_before_start_completed");
    EXPECT_TRUE(
        hasLine(lines(), "SimpleAudioStreamer: stop arrived before start began - aborting"));
    EXPECT_EQ(mic->starts.load(), 0);
}

TEST_F(StreamerFixture, StopDuringTheMicStartAbortsBeforeSystemNegotiation) {
    mic->holdStart();
    make(mic, system);
    start();
    stop();
    mic->completeHeldStart();
    clock.advanceSeconds(10);
    EXPECT_TRUE(hasLine(lines(),
                        "SimpleAudioStreamer: stop arrived during mic start - aborting "
                        "before system audio negotiation"));
    EXPECT_EQ(system->starts.load(), 0);
    EXPECT_EQ(mic->stops.load(), 2);  // by stop() and by the aborted start
    EXPECT_THAT(acks(), IsEmpty());   // silenced by the stop
}

// The outcome and the watchdog at nearly the same instant, many times: one of
// them decides, exactly once, and the other leaves no trace but a log line.
// Every fourth round three outcomes race a stop: never more than one ack.
TEST_F(StreamerFixture, RacingOutcomesWatchdogAndStopAcknowledgeAtMostOnce) {
    for (int round = 0; round < 40; ++round) {
        system = std::make_shared<ScriptedNegotiatingSource>();
        mic = std::make_shared<ScriptedSource>(AudioProtocol::FrameType::mic);
        {
            std::lock_guard lock(ackMutex);
            _acks.clear();
        }
        make(mic, system);
        const std::size_t linesBefore = count(kLostRace);
        const std::size_t watchdogsBefore = count(kWatchdogLine);
        const bool withStop = round % 4 == 3;
        start();
        clock.advance(streaming::SimpleAudioStreamer::streamingAckWatchdogTimeout -
                      dispatch::Duration(1));
        std::vector<std::thread> threads;
        for (int t = 0; t < (withStop ? 3 : 1); ++t) {
            threads.emplace_back([&, t] {
                system->sendOutcome((round + t) % 2 ? platform::MaybeError{}
                                                    : platform::Error{"d", t, "x"});
            });
        }
        if (withStop)
            threads.emplace_back([&] { streamer->stop({}); });
        clock.advance(dispatch::Duration(1));
        for (auto& t : threads)
            t.join();
        clock.settle();
        ASSERT_LE(acks().size(), 1u) << round;
        if (withStop) {
            streamer.reset();
            clock.settle();
            continue;
        }
        ASSERT_THAT(acks(), SizeIs(1)) << round;
        const bool watchdogWon =
            acks()[0] && isStreamingAckError(*acks()[0], StreamingAckError::watchdogTimeout);
        EXPECT_EQ(count(kWatchdogLine) - watchdogsBefore, watchdogWon ? 1u : 0u);
        EXPECT_EQ(count(kLostRace) - linesBefore, watchdogWon ? 1u : 0u);
        EXPECT_EQ(system->cleanups.load(), watchdogWon ? 1 : 0);
        streamer.reset();
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

TEST_F(StreamerFixture, StopEndsTheLoopAfterOneSleepAndNothingIsSentAfterIt) {
    make(mic, nullptr);
    start();
    mic->deliver(std::vector<std::uint8_t>(3840, 1));
    clock.settle();
    clock.advanceSeconds(0.1);
    const auto framesBeforeStop = out.frames().size();
    EXPECT_EQ(framesBeforeStop, 1u);
    stop();
    mic->deliver(std::vector<std::uint8_t>(3840 * 3, 1));
    clock.settle();
    EXPECT_EQ(count("SimpleAudioStreamer: data stream ended"), 0u);
    clock.advanceSeconds(0.1);
    EXPECT_EQ(count("SimpleAudioStreamer: data stream ended"), 1u);
    clock.advanceSeconds(1);
    EXPECT_EQ(out.frames().size(), framesBeforeStop);
}

TEST_F(StreamerFixture, AReleasedStreamerEndsItsSenderAndLateCallbacksAreHarmless) {
    make(mic, system);
    start();
    system->sendOutcome();
    clock.settle();
    ASSERT_TRUE(streamer->isStreaming());
    streamer.reset();
    EXPECT_EQ(count("SimpleAudioStreamer: data stream ended"), 1u);
    mic->deliver(std::vector<std::uint8_t>(3840, 1));
    system->sendOutcome();
    clock.advanceSeconds(10);
    EXPECT_TRUE(out.frames().empty());
}

}  // namespace
}  // namespace ostrovane::streaming
