// Every background loop that feeds or drains the streamer ends, however its
// owner goes away: nothing is left waiting on the clock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "dispatch/ManualClock.h"
#include "sources/test/SyntheticAudioSource.h"
#include "sources/test/WAVFileSource.h"
#include "streaming/SimpleAudioStreamer.h"
#include "support/MemoryChannels.h"
#include "support/Pipe.h"
#include "support/WaitUntil.h"
#include "support/WavFile.h"
#include "unit/streaming/ScriptedSource.h"

namespace ostrovane::sources {
namespace {

using protocol::AudioProtocol;

struct LoopEndFixture : ::testing::Test {
    // A loop that dropped the last reference itself is let go and may still
    // signal the clock while the process exits: the clock is never destroyed.
    static dispatch::ManualClock& sharedClock() {
        static dispatch::ManualClock* const clock =
            std::make_unique<dispatch::ManualClock>().release();
        return *clock;
    }
    dispatch::ManualClock& clock = sharedClock();
    test::MemoryChannels out;

    // A test source whose playback loop runs.
    std::shared_ptr<streaming::AudioSource> makeSource(bool wav) {
        if (!wav)
            return SyntheticAudioSource::testTone(0.5, AudioProtocol::FrameType::mic, clock,
                                                  out.text());
        auto contents = parseWAV(test::makeWav(test::WavSpec{}, test::ramp(3200)));
        return WAVFileSource::create("/x.wav", std::get<WAVContents>(std::move(contents)),
                                     AudioProtocol::FrameType::mic, clock, out.text());
    }
};

TEST_F(LoopEndFixture, ASourceReleasedAtAnyPointEndsItsLoop) {
    for (const bool wav : {true, false}) {
        SCOPED_TRACE(wav ? "wav" : "synthetic");
        // Released at once: before, at or after the loop's first pass.
        for (int round = 1; round <= 10; ++round) {
            auto source = makeSource(wav);
            source->start({});
            source.reset();
            clock.settle();
            ASSERT_EQ(clock.pendingTimers(), 0u) << round;
        }
        // Released while the loop is inside a delivery: the loop drops the
        // last reference itself.
        auto source = makeSource(wav);
        std::promise<void> entered, open;
        std::once_flag first;
        source->setOnAudioData([&, held = open.get_future().share()](auto) {
            std::call_once(first, [&] { entered.set_value(); });
            held.wait();
        });
        source->start({});
        ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(20)),
                  std::future_status::ready);
        source.reset();
        open.set_value();
        clock.settle();
        EXPECT_EQ(clock.pendingTimers(), 0u);
    }
}

TEST_F(LoopEndFixture, AStreamerReleasedAtAnyPointEndsItsSender) {
    auto mic = std::make_shared<streaming::testing::ScriptedSource>(AudioProtocol::FrameType::mic);
    for (int round = 1; round <= 10; ++round) {
        auto streamer = streaming::SimpleAudioStreamer::create(
            {out.text(), out.frameWriter(), clock, {}, {}}, mic, nullptr);
        streamer->start({});
        clock.settle();
        ASSERT_TRUE(streamer->isStreaming());
        ASSERT_GT(clock.pendingTimers(), 0u);  // the sender sleeps between passes
        streamer.reset();
        clock.settle();
        ASSERT_EQ(clock.pendingTimers(), 0u) << round;
    }

    // Released while the sender is blocked writing a frame to a full pipe.
    test::Pipe pipe;
    pipe.setWriteNonBlocking();
    const std::vector<std::uint8_t> filler(4096, 0);
    std::size_t buffered = 0;
    for (ssize_t n; (n = ::write(pipe.writeFd(), filler.data(), filler.size())) > 0;)
        buffered += static_cast<std::size_t>(n);
    ::fcntl(pipe.writeFd(), F_SETFL, ::fcntl(pipe.writeFd(), F_GETFL) & ~O_NONBLOCK);
    protocol::FrameWriter blocked(pipe.writeFd());
    // Audio waits while the microphone starts, so the first pass has a frame.
    mic = std::make_shared<streaming::testing::ScriptedSource>(AudioProtocol::FrameType::mic);
    mic->holdStart();
    auto streamer =
        streaming::SimpleAudioStreamer::create({out.text(), blocked, clock, {}, {}}, mic, nullptr);
    streamer->start({});
    clock.settle();
    mic->deliver(std::vector<std::uint8_t>(3840, 1));
    mic->completeHeldStart();
    // The sender holds the streamer for the pass that is stuck in the write;
    // the start's own tasks may still hold it for a moment.
    ASSERT_TRUE(test::waitUntil([&] { return streamer.use_count() == 2; }, std::chrono::seconds(20),
                                std::chrono::milliseconds(1)));
    streamer.reset();
    EXPECT_EQ(pipe.readExactly(buffered).size(), buffered);
    clock.settle();
    EXPECT_EQ(clock.pendingTimers(), 0u);
}

}  // namespace
}  // namespace ostrovane::sources
