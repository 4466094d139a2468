#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "dispatch/ManualClock.h"
#include "streaming/StreamDataPath.h"
#include "support/MemoryChannels.h"

namespace ostrovane::streaming {
namespace {

using protocol::AudioProtocol;
using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr std::size_t kFrame = 3840;

Bytes byteRamp(std::size_t n, std::uint32_t salt = 0) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>((i * 7 + i / 251 + salt) & 0xFF);
    return out;
}

struct DataPathFixture : ::testing::Test {
    dispatch::ManualClock clock;
    test::MemoryChannels out;
    std::unique_ptr<StreamDataPath> path = make();

    std::unique_ptr<StreamDataPath> make(StreamSequences first = {}) {
        return std::make_unique<StreamDataPath>(clock, out.text(), out.frameWriter(), first);
    }
    // Ramps salted by their index: `micFrames` microphone frames, then
    // `systemChunks` system chunks of one frame each.
    void feed(std::uint32_t micFrames, std::uint32_t systemChunks, StreamDataPath* into = nullptr) {
        into = into ? into : path.get();
        for (std::uint32_t i = 0; i < micFrames; ++i)
            into->handleMicData(byteRamp(kFrame, i));
        for (std::uint32_t i = 0; i < systemChunks; ++i)
            into->handleSystemData(byteRamp(kFrame, i));
    }
    // Runs the intakes' queued jobs, then one sender pass.
    void pass() {
        clock.settle();
        path->sendAudioData();
    }
    std::vector<protocol::Frame> framesOf(AudioProtocol::FrameType type) {
        std::vector<protocol::Frame> selected;
        for (auto& f : out.frames())
            if (f.type == type)
                selected.push_back(std::move(f));
        return selected;
    }
    static Bytes payloads(const std::vector<protocol::Frame>& frames) {
        Bytes all;
        for (const auto& f : frames)
            all.insert(all.end(), f.payload.begin(), f.payload.end());
        return all;
    }
};

// Microphone bytes wait for a whole frame; each stream numbers its frames on
// its own and wraps to zero.
TEST_F(DataPathFixture, WholeFramesLeaveWithTheirHeaderAndSequencesWrapPerStream) {
    path = make({0xFFFFFFFEu, 0xFFFFFFFFu});
    const Bytes audio = byteRamp(kFrame * 3);
    path->handleMicData(std::span(audio).first(kFrame - 1));
    pass();
    EXPECT_TRUE(out.frames().empty());
    path->handleMicData(std::span(audio).subspan(kFrame - 1));
    path->handleSystemData(audio);
    pass();
    const auto micFrames = framesOf(AudioProtocol::FrameType::mic);
    ASSERT_EQ(micFrames.size(), 3u);
    EXPECT_EQ(micFrames[0].payload, Bytes(audio.begin(), audio.begin() + kFrame));
    const auto& header = micFrames[0].audio();
    EXPECT_EQ(std::tuple(header.sampleRate, header.channels, header.bitsPerSample),
              std::tuple(48000, 2, 16));
    EXPECT_EQ(header.level,
              protocol::levelFromRms(protocol::calculateRMSInt16(std::span(audio).first(kFrame))));
    std::vector<std::uint32_t> mic, sys;
    for (const auto& f : out.frames())
        (f.type == AudioProtocol::FrameType::mic ? mic : sys).push_back(f.sequence);
    EXPECT_THAT(mic, ElementsAre(0xFFFFFFFEu, 0xFFFFFFFFu, 0u));
    EXPECT_THAT(sys, ElementsAre(0xFFFFFFFFu, 0u, 1u));
    EXPECT_EQ(path->nextSequences().mic, 1u);
    EXPECT_EQ(path->nextSequences().system, 2u);
}

TEST_F(DataPathFixture, SystemPassStopsAtTheFrameCapBetweenChunks) {
    feed(0, 150);
    pass();
    EXPECT_EQ(path->systemFramesSent(), 100);
    pass();
    EXPECT_EQ(path->systemFramesSent(), 150);

    // The cap is only looked at between chunks: one large chunk may exceed it.
    feed(0, 99);
    path->handleSystemData(byteRamp(kFrame * 3));
    pass();
    EXPECT_EQ(path->systemFramesSent(), 150 + 102);
}

// A pass whose frame writes are slow: every reading of the time finds it a
// millisecond later.
struct SlowWritesClock final : dispatch::Clock {
    explicit SlowWritesClock(dispatch::Clock& base) : base(base) {}
    double wallTime() const override { return base.wallTime(); }
    dispatch::Duration uptime() const override { return base.uptime() + (elapsed += 1ms); }
    dispatch::TimerId schedule(dispatch::Duration d, std::function<void()> f) override {
        return base.schedule(d, std::move(f));
    }
    bool cancel(dispatch::TimerId id) override { return base.cancel(id); }
    bool sleepUntil(dispatch::Duration d, std::stop_token s) override {
        return base.sleepUntil(d, s);
    }
    dispatch::Clock& base;
    mutable dispatch::Duration elapsed{0};
};

TEST_F(DataPathFixture, SystemPassEndsWhenItsTimeIsSpentAndTheNextGoesOn) {
    SlowWritesClock slow{clock};
    StreamDataPath slowPath(slow, out.text(), out.frameWriter());
    feed(0, 150, &slowPath);
    slowPath.sendAudioData();
    const auto first = slowPath.systemFramesSent();
    EXPECT_GT(first, 0);
    EXPECT_LT(first, 30);  // well under the frame cap of 100
    slowPath.sendAudioData();
    EXPECT_GT(slowPath.systemFramesSent(), first);
    const auto sys = framesOf(AudioProtocol::FrameType::system);
    ASSERT_EQ(sys.size(), static_cast<std::size_t>(slowPath.systemFramesSent()));
    EXPECT_EQ(sys.back().payload, byteRamp(kFrame, static_cast<std::uint32_t>(sys.size() - 1)));
}

// The sources write straight into the rings from their own threads while the
// sender drains them: two byte ramps in awkward chunk sizes come back
// byte-exact, each in its own stream, in exact frames numbered from zero.
TEST_F(DataPathFixture, RampsWrittenFromTwoThreadsWhileTheSenderDrainsComeBackSampleExact) {
    constexpr std::size_t kFrames = 300;
    const Bytes mic = byteRamp(kFrames * kFrame);
    const Bytes sys = byteRamp(kFrames * kFrame, 101);
    auto produce = [&](const Bytes& audio, bool isMic) {
        const std::size_t sizes[] = {4, 147, 965, 3844, 7675, 41};
        for (std::size_t at = 0, k = 0; at < audio.size(); ++k) {
            const auto n = std::min(audio.size() - at, sizes[k % std::size(sizes)]);
            const auto chunk = std::span(audio).subspan(at, n);
            isMic ? path->handleMicData(chunk) : path->handleSystemData(chunk);
            at += n;
        }
    };
    std::atomic<bool> produced{false};
    // Passes run until one after the producers ended sends nothing more, so
    // audio lost to a fault ends the test instead of hanging it.
    std::thread sender([&] {
        for (bool ended = false;;) {
            const auto sent = path->micFramesSent() + path->systemFramesSent();
            path->sendAudioData();
            if (ended && sent == path->micFramesSent() + path->systemFramesSent())
                break;
            ended = produced.load();
        }
    });
    std::thread micThread(produce, std::cref(mic), true);
    std::thread sysThread(produce, std::cref(sys), false);
    micThread.join();
    sysThread.join();
    produced = true;
    sender.join();
    for (const auto& [type, sent] : {std::pair{AudioProtocol::FrameType::mic, &mic},
                                     std::pair{AudioProtocol::FrameType::system, &sys}}) {
        const auto frames = framesOf(type);
        EXPECT_EQ(payloads(frames), *sent);
        for (std::size_t i = 0; i < frames.size(); ++i)
            ASSERT_EQ(frames[i].sequence, i);
    }
    EXPECT_EQ(path->micFramesSent(), static_cast<std::int64_t>(kFrames));
    EXPECT_EQ(path->systemFramesSent(), static_cast<std::int64_t>(kFrames));
    EXPECT_EQ(path->droppedAudio().micBytes + path->droppedAudio().systemBytes, 0);
}

// A parent that reads too slowly (or a start still negotiating, a stalled
// sender): each ring keeps its newest audio, 2,880,000 bytes of microphone PCM
// and 2249 system chunks, and drops what is older; the frames that do leave
// keep contiguous numbers, and the loss is reported in milliseconds per
// stream, at most once a second, and counted.
TEST_F(DataPathFixture, DroppedAudioIsReportedPerStreamAtMostOnceASecondAndCounted) {
    auto drops = [&] {
        return test::linesStartingWith(out.lines(), "SimpleAudioStreamer: audio dropped");
    };
    // 15 s of microphone audio fit; 5 frames more push out 100 ms. The system
    // ring holds 2249 chunks; 10 more push out 200 ms.
    feed(750 + 5, 2249 + 10);
    pass();
    EXPECT_THAT(drops(), ElementsAre("SimpleAudioStreamer: audio dropped (output too slow) "
                                     "mic=100ms sys=200ms since last report, total mic=100ms "
                                     "sys=200ms"));
    EXPECT_EQ(path->droppedAudio().micBytes, 5 * 3840);
    EXPECT_EQ(path->droppedAudio().systemBytes, 10 * 3840);
    EXPECT_EQ(framesOf(AudioProtocol::FrameType::mic).front().payload, byteRamp(kFrame, 5));
    EXPECT_EQ(framesOf(AudioProtocol::FrameType::system).front().payload, byteRamp(kFrame, 10));

    feed(750 + 1, 0);  // the sender sent the mic ring empty: one frame too many
    pass();
    EXPECT_EQ(drops().size(), 1u);  // within the second: held back
    clock.advanceSeconds(1);
    pass();
    EXPECT_EQ(drops().back(),
              "SimpleAudioStreamer: audio dropped (output too slow) mic=20ms "
              "sys=0ms since last report, total mic=120ms sys=200ms");
    clock.advanceSeconds(5);
    pass();
    EXPECT_EQ(drops().size(), 2u);  // nothing new, nothing said

    std::uint32_t next = 0;
    for (const auto& f : framesOf(AudioProtocol::FrameType::mic))
        ASSERT_EQ(f.sequence, next++);
}

}  // namespace
}  // namespace ostrovane::streaming
