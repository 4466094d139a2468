#include <gtest/gtest.h>

#include <sstream>
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

TEST_F(TextChannelTest, WritersPrefixTheirTagAndWriteTheirPayloadAsOneLine) {
    channel.sendCommandResponse("STREAMING:started");
    channel.sendEvent("SYSTEM_AUDIO_CONTENTION_RESOLVED");
    channel.sendMicEvent(R"({"event":"device_started","deviceId":42})");
    channel.writeTagged("MIC_APP_SNAPSHOT", "{}");
    channel.logToStderr("SimpleAudioStreamer: started");
    channel.writeLine("RECOVERY_SUCCESS");
    channel.sendEvent("");
    channel.logToStderr("");
    channel.logToStderr("already terminated\n");
    channel.sendCommandResponse("START_VIDEO:error:first\r\nsecond");
    channel.sendCommandResponse("CURRENT_MIC:Café “Zoom” 🎤");

    for (const char* expected :
         {"CMD_RESPONSE:STREAMING:started\n", "EVENT:SYSTEM_AUDIO_CONTENTION_RESOLVED\n",
          "MIC_EVENT:{\"event\":\"device_started\",\"deviceId\":42}\n", "MIC_APP_SNAPSHOT:{}\n",
          "SimpleAudioStreamer: started\n", "RECOVERY_SUCCESS\n", "EVENT:\n", "\n",
          // A line feed or carriage return inside a text is a space.
          "already terminated \n", "CMD_RESPONSE:START_VIDEO:error:first  second\n",
          "CMD_RESPONSE:CURRENT_MIC:Café “Zoom” 🎤\n"}) {
        EXPECT_EQ(packets.readMessage(), expected);
    }
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

// A line longer than a pipe's atomic write size must still reach the reader
// whole while another thread writes short lines, through a channel of its own
// (as a screen provider logs beside the app's answers).
TEST(TextChannelConcurrencyTest, LongLinesAreNotSplicedByOtherThreads) {
    test::Pipe pipe;
    TextChannel channel(pipe.writeFd());
    TextChannel other(pipe.writeFd());
    const std::string longLine(256 * 1024, 'L');
    std::string received;
    std::thread reader([&] { received = pipe.readTextToEnd(); });
    std::thread longWriter([&] {
        for (int i = 0; i < 20; ++i)
            channel.logToStderr(longLine);
    });
    std::thread shortWriter([&] {
        for (int i = 0; i < 2000; ++i)
            other.sendEvent("short");
    });
    longWriter.join();
    shortWriter.join();
    pipe.closeWrite();
    reader.join();

    int longs = 0, shorts = 0;
    ASSERT_EQ(received.back(), '\n');
    std::istringstream lines(received);
    for (std::string line; std::getline(lines, line);) {
        if (line == "EVENT:short") {
            ++shorts;
        } else {
            ASSERT_EQ(line, longLine) << "a line was spliced";
            ++longs;
        }
    }
    EXPECT_EQ(longs, 20);
    EXPECT_EQ(shorts, 2000);
}

}  // namespace
}  // namespace ostrovane::protocol
