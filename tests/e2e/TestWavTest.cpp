#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/FrameReader.h"
#include "support/HelperProcess.h"
#include "support/WavFile.h"

namespace ostrovane::test {
namespace {

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
    helper.sendLine("TEST_WAV:" + good.path());
    ASSERT_TRUE(helper.errors().waitForLine("CMD_RESPONSE:TEST_WAV:started:" + good.path()));
    helper.sendLine("stop");
    EXPECT_TRUE(helper.errors().waitForLine("CMD_RESPONSE:STOPPED:ok"));
    EXPECT_EQ(helper.waitForExit(), 0);
    EXPECT_NO_THROW(protocol::readAllFrames(helper.outputBytes()));
}

}  // namespace
}  // namespace ostrovane::test
