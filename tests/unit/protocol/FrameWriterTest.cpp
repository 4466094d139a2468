#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/FrameReader.h"
#include "protocol/FrameWriter.h"
#include "support/Pipe.h"

namespace ostrovane::protocol {
namespace {

using test::Pipe;
using ::testing::ElementsAre;
using FrameType = AudioProtocol::FrameType;

// Payload bytes that identify their frame, so a payload spliced from another
// frame (or shifted by a byte) is detected.
std::vector<std::uint8_t> patterned(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed * 131 + i * 7 + (i >> 8));
    return bytes;
}

// Kills the test with SIGALRM instead of letting a hung write stall the suite.
class Deadline {
  public:
    explicit Deadline(unsigned seconds) { ::alarm(seconds); }
    ~Deadline() { ::alarm(0); }
};

// A writer into a pipe whose failures are recorded.
class FrameWriterTest : public ::testing::Test {
  protected:
    void SetUp() override { test::ignoreSigpipe(); }

    Deadline deadline{240};
    Pipe pipe;
    std::vector<int> failures;
    FrameWriter writer{pipe.writeFd(), [this](int error) { failures.push_back(error); }};
};

// The failure is reported once and later frames are dropped.
TEST_F(FrameWriterTest, ReaderClosingDuringALargeWriteEndsTheWriteWithOneEpipe) {
    std::thread writing(
        [&] { writer.writeVideoFrame(1920, 1080, 30, true, 0, patterned(4 << 20, 1), 0); });
    // The frame is far larger than the pipe, so the writer is still blocked
    // inside the frame when the reader goes away.
    EXPECT_EQ(pipe.readExactly(4096).size(), 4096u);
    pipe.closeRead();
    writing.join();
    writer.writeBinaryFrame(FrameType::mic, 48000, 2, 16, 0.1, std::vector<std::uint8_t>(8), 0);
    EXPECT_THAT(failures, ElementsAre(EPIPE));
    EXPECT_TRUE(writer.hasFailed());

    FrameWriter badDescriptor(-1, [this](int error) { failures.push_back(error); });
    badDescriptor.writeVideoFrame(640, 480, 30, false, 0, {}, 0);
    badDescriptor.writeVideoFrame(640, 480, 30, false, 0, {}, 0);
    EXPECT_THAT(failures, ElementsAre(EPIPE, EBADF));
}

TEST_F(FrameWriterTest, SignalsInterruptingTheWriteDoNotCutTheFrame) {
    struct sigaction action {};  // no SA_RESTART: blocked writes return early
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    const auto payload = patterned(4 << 20, 11);
    std::thread writing([&] {
        writer.writeVideoFrame(1920, 1080, 60, true, 99, payload, 42);
        pipe.closeWrite();  // a short frame then shows as an early end of stream
    });

    const std::size_t total = AudioProtocol::videoHeaderSize + payload.size();
    std::vector<std::uint8_t> received;
    while (received.size() < total) {
        ::pthread_kill(writing.native_handle(), SIGUSR1);
        const auto chunk = pipe.readExactly(std::min<std::size_t>(16384, total - received.size()));
        if (chunk.empty()) {
            ADD_FAILURE() << "output ended after " << received.size() << " bytes";
            break;
        }
        received.insert(received.end(), chunk.begin(), chunk.end());
    }
    writing.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_TRUE(failures.empty());
    const auto frames = readAllFrames(received);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, payload);
}

// Three writers at full speed into one non-blocking pipe: every frame must
// arrive whole (a full pipe is waited out, never a reason to drop bytes),
// carrying its own payload, with each stream's sequence in order.
TEST_F(FrameWriterTest, ConcurrentWritersInterleaveOnlyAtFrameBoundaries) {
    pipe.setWriteNonBlocking();
    constexpr std::uint32_t framesPerWriter = 300;
    // Sizes around and far above PIPE_BUF, where the kernel splits writes,
    // and above the pipe's room.
    auto payloadFor = [](FrameType type, std::uint32_t sequence) {
        static const std::vector<std::size_t> sizes{3840, 0, 100 * 1024, 2, 4097, 65536, 17};
        const auto seed = static_cast<std::uint32_t>(type) * 1000003u + sequence;
        return patterned(sizes[seed % sizes.size()], seed);
    };

    auto writeStream = [&](FrameType type) {
        for (std::uint32_t sequence = 0; sequence < framesPerWriter; ++sequence) {
            const auto payload = payloadFor(type, sequence);
            if (type == FrameType::video)
                writer.writeVideoFrame(1920, 1080, 10, sequence % 10 == 0, sequence * 100000ull,
                                       payload, sequence);
            else
                writer.writeBinaryFrame(type, 48000, 2, 16, 0.5, payload, sequence);
        }
    };
    std::vector<std::uint8_t> received;
    std::thread reading([&] { received = pipe.readToEnd(); });
    {
        std::jthread mic(writeStream, FrameType::mic);
        std::jthread system(writeStream, FrameType::system);
        std::jthread video(writeStream, FrameType::video);
    }
    pipe.closeWrite();
    reading.join();

    EXPECT_TRUE(failures.empty());
    std::map<FrameType, std::uint32_t> nextSequence;
    for (const Frame& frame : readAllFrames(received)) {
        const std::uint32_t expected = nextSequence[frame.type]++;
        ASSERT_EQ(frame.sequence, expected) << "type " << int(frame.type);
        ASSERT_EQ(frame.payload, payloadFor(frame.type, expected))
            << "type " << int(frame.type) << " sequence " << expected;
    }
    for (const FrameType type : {FrameType::mic, FrameType::system, FrameType::video})
        EXPECT_EQ(nextSequence[type], framesPerWriter) << int(type);
}

}  // namespace
}  // namespace ostrovane::protocol
