#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "protocol/TextChannel.h"
#include "support/Pipe.h"

namespace ostrovane::protocol {
namespace {

using test::Pipe;

// A packet pair shows the bytes of each write call separately, so these
// checks also prove that every line was handed over in one write.
class TextChannelTest : public ::testing::Test {
  protected:
    Pipe packets = Pipe::packets();
    TextChannel channel{packets.writeFd()};
};

TEST_F(TextChannelTest, WritersPrefixTheirTagAndEndWithOneLineFeed) {
    channel.sendCommandResponse("STREAMING:started");
    channel.sendEvent("SYSTEM_AUDIO_CONTENTION_RESOLVED");
    channel.sendMicEvent(R"({"event":"device_started","deviceId":42})");
    channel.writeTagged("MIC_APP_SNAPSHOT", "{}");
    channel.logToStderr("SimpleAudioStreamer: started");
    channel.writeLine("RECOVERY_SUCCESS");

    EXPECT_EQ(packets.readMessage(), "CMD_RESPONSE:STREAMING:started\n");
    EXPECT_EQ(packets.readMessage(), "EVENT:SYSTEM_AUDIO_CONTENTION_RESOLVED\n");
    EXPECT_EQ(packets.readMessage(), "MIC_EVENT:{\"event\":\"device_started\",\"deviceId\":42}\n");
    EXPECT_EQ(packets.readMessage(), "MIC_APP_SNAPSHOT:{}\n");
    EXPECT_EQ(packets.readMessage(), "SimpleAudioStreamer: started\n");
    EXPECT_EQ(packets.readMessage(), "RECOVERY_SUCCESS\n");
}

TEST_F(TextChannelTest, PayloadsAreWrittenVerbatim) {
    channel.sendEvent("");
    channel.logToStderr("");
    channel.logToStderr("already terminated\n");
    channel.sendCommandResponse("CURRENT_MIC:Café “Zoom” 🎤");

    EXPECT_EQ(packets.readMessage(), "EVENT:\n");
    EXPECT_EQ(packets.readMessage(), "\n");
    // No merging of line feeds: the caller's own line feed leaves an empty line.
    EXPECT_EQ(packets.readMessage(), "already terminated\n\n");
    EXPECT_EQ(packets.readMessage(), "CMD_RESPONSE:CURRENT_MIC:Café “Zoom” 🎤\n");
}

TEST(TextChannelFailureTest, WritesToAMissingReaderAreIgnored) {
    test::ignoreSigpipe();
    Pipe pipe;
    pipe.closeRead();
    TextChannel closed(pipe.writeFd());
    closed.logToStderr("nobody is listening");
    closed.sendEvent("VIDEO_STREAM_ERROR:gone");

    TextChannel invalid(-1);
    invalid.sendCommandResponse("STOPPED:ok");

    // A later channel on a working descriptor is unaffected.
    Pipe working;
    TextChannel(working.writeFd()).sendCommandResponse("HEALTH_OK:1");
    working.closeWrite();
    EXPECT_EQ(working.readTextToEnd(), "CMD_RESPONSE:HEALTH_OK:1\n");
}

}  // namespace
}  // namespace ostrovane::protocol

namespace ostrovane::protocol {
namespace {

// A line longer than a pipe's atomic write size must still reach the reader
// whole while another thread writes short lines.
TEST(TextChannelConcurrencyTest, LongLinesAreNotSplicedByOtherThreads) {
    test::Pipe pipe;
    TextChannel channel(pipe.writeFd());
    const std::string longLine(256 * 1024, 'L');
    std::string received;
    std::thread reader([&] { received = pipe.readTextToEnd(); });
    std::thread longWriter([&] {
        for (int i = 0; i < 20; ++i)
            channel.logToStderr(longLine);
    });
    std::thread shortWriter([&] {
        for (int i = 0; i < 2000; ++i)
            channel.sendEvent("short");
    });
    longWriter.join();
    shortWriter.join();
    pipe.closeWrite();
    reader.join();

    int longs = 0, shorts = 0;
    std::size_t start = 0;
    while (start < received.size()) {
        const auto end = received.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string_view line(received.data() + start, end - start);
        if (line == "EVENT:short") {
            ++shorts;
        } else {
            ASSERT_EQ(line, longLine) << "a line was spliced";
            ++longs;
        }
        start = end + 1;
    }
    EXPECT_EQ(longs, 20);
    EXPECT_EQ(shorts, 2000);
}

}  // namespace
}  // namespace ostrovane::protocol
