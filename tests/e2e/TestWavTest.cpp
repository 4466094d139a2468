#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/FrameReader.h"
#include "support/HelperProcess.h"
#include "support/WavFile.h"

namespace ostrovane::test {
namespace {

bool isResponse(const std::string& line, const std::string& payload) {
    return line == "CMD_RESPONSE:" + payload;
}

// Streaming itself is followed on the manual clock in-process; through the
// binary only the answers and the way out are checked.
TEST(TestWavThroughTheBinary, AnswersErrorsAndStopEndsAStreamingHelper) {
    WavSpec floatFile;
    floatFile.formatCode = 3;
    TempFile bad("bad.wav", makeWav(floatFile, ramp(1000)));
    TempFile good("good.wav", makeWav(WavSpec{}, ramp(1000)));
    HelperProcess helper(OSTROVANE_BINARY);
    helper.sendLine("TEST_WAV:" + bad.path());
    EXPECT_TRUE(helper.errors().waitForLine(
        "CMD_RESPONSE:TEST_WAV:error:Unsupported audio format: 3 (only PCM=1 supported)"));
    helper.sendLine("TEST_WAV:/no/such/file.wav");
    EXPECT_TRUE(helper.errors().waitForLineMatching([](const std::string& l) {
        return l.rfind("CMD_RESPONSE:TEST_WAV:error:", 0) == 0 &&
               l.find("file.wav") != std::string::npos;
    }));
    helper.sendLine("TEST_WAV:" + good.path());
    ASSERT_TRUE(helper.errors().waitForLine("CMD_RESPONSE:TEST_WAV:started:" + good.path()));
    helper.sendLine("stop");
    auto ok = helper.errors().waitForLineMatching(
        [](const std::string& l) { return isResponse(l, "STOPPED:ok"); });
    ASSERT_TRUE(ok);
    EXPECT_EQ(helper.waitForExit(), 0);
    const auto lines = helper.errors().lines();
    EXPECT_NE(std::find(lines.begin(), lines.begin() + static_cast<long>(*ok),
                        "SimpleAudioStreamer: STREAMING_STOPPED"),
              lines.begin() + static_cast<long>(*ok));
    EXPECT_NO_THROW(protocol::readAllFrames(helper.outputBytes()));
}

}  // namespace
}  // namespace ostrovane::test
