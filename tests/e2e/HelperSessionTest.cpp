#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "protocol/FrameReader.h"
#include "support/HelperProcess.h"
#include "support/MemoryChannels.h"
#include "support/WavFile.h"
#include "util/UniqueFd.h"

namespace ostrovane::test {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kStartupLines{
    "Ostrovane starting...",
    "✅ macOS version check passed, creating Task...",
    "🟢 About to start RunLoop.main.run()...",
    "🔵 Task executing, about to call runApp()...",
    "runApp() called - helper in IDLE mode",
    "Helper ready, waiting for commands...",
};

bool isHealthAnswer(const std::string& line) {
    return line.starts_with("CMD_RESPONSE:HEALTH_OK:");
}

class HelperSession : public ::testing::Test {
  protected:
    HelperProcess helper{OSTROVANE_BINARY};

    void SetUp() override { ASSERT_TRUE(errors().waitForLineCount(kStartupLines.size())); }

    LineCollector& errors() { return helper.errors(); }

    // Sends a line and returns the index of the first line that follows its
    // "Received command: " echo and satisfies `match`.
    std::optional<std::size_t> request(const std::string& line,
                                       const std::function<bool(const std::string&)>& match) {
        const std::size_t from = errors().lines().size();
        helper.sendLine(line);
        auto echo = errors().waitForLine("Received command: " + line, from);
        if (!echo)
            return std::nullopt;
        return errors().waitForLineMatching(match, *echo + 1);
    }
};

// Streaming itself is followed on the manual clock in-process; through the
// binary only the answers and the way out are checked.
TEST_F(HelperSession, StartsWithItsLinesAnswersTestWavAndStopEndsAStreamingHelper) {
    auto lines = errors().lines();
    lines.resize(kStartupLines.size());
    EXPECT_EQ(lines, kStartupLines);
    EXPECT_TRUE(helper.outputBytes().empty());
    TempFile bad("bad.wav", makeWav({.formatCode = 3}, ramp(1000)));
    TempFile good("good.wav", makeWav(WavSpec{}, ramp(1000)));
    helper.sendLine("TEST_WAV:" + bad.path());
    EXPECT_TRUE(errors().waitForLine(
        "CMD_RESPONSE:TEST_WAV:error:Unsupported audio format: 3 (only PCM=1 supported)"));
    // Display 0 never exists, with or without an X server.
    helper.sendLine("start_video:{\"fps\":5}");
    EXPECT_TRUE(errors().waitForLineMatching(
        [](const std::string& l) { return l.starts_with("CMD_RESPONSE:START_VIDEO:error:"); }));
    helper.sendLine("TEST_WAV:" + good.path());
    ASSERT_TRUE(errors().waitForLine("CMD_RESPONSE:TEST_WAV:started:" + good.path()));
    helper.sendLine("stop");  // commands are matched in any case
    EXPECT_TRUE(errors().waitForLine("CMD_RESPONSE:STOPPED:ok"));
    EXPECT_EQ(helper.waitForExit(), 0);
    EXPECT_NO_THROW(protocol::readAllFrames(helper.outputBytes()));
}

// HEALTH_CHECK in any case and with any argument answers the wall time;
// anything else is logged whole, answers nothing, and the loop goes on.
TEST_F(HelperSession, HealthCheckAnswersTheWallTimeAndUnknownLinesAnswerNothing) {
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (const std::string line : {"HEALTH_CHECK", "health_check", "Health_Check:any:text"}) {
        auto answer = request(line, isHealthAnswer);
        ASSERT_TRUE(answer) << line;
        const std::string value = errors().lines()[*answer].substr(23);
        EXPECT_NE(value.find('.'), std::string::npos) << value;
        EXPECT_NEAR(std::stod(value), now, 60.0);
    }
    for (const std::string line : {"", "FOO:bar:baz", " HEALTH_CHECK", "HEALTH_CHECKS"}) {
        EXPECT_TRUE(
            request(line, [&](const std::string& l) { return l == "Unknown command: " + line; }))
            << '"' << line << '"';
    }
    ASSERT_TRUE(request("HEALTH_CHECK", isHealthAnswer));
    EXPECT_EQ(linesStartingWith(errors().lines(), "CMD_RESPONSE:").size(), 4u);
}

// A 16 MiB line, NUL bytes, ill-formed UTF-8 and CRLF endings are survived
// and lose nothing after them. A last line without a line feed is still a
// command; the end of input then ends the loop, silently, but not the process.
TEST_F(HelperSession, HostileInputAndTheEndOfInputLoseNoCommandAndEndOnlyTheLoop) {
    helper.write(std::string(16 << 20, 'x') + "\n");
    helper.write(std::string("HEALTH_CHECK:\0\xff\xfe", 16) + "\n");
    helper.write("health_check\r\n");
    ASSERT_TRUE(errors().waitForLine("Command line too long (16777216 bytes), ignored"));
    auto second = errors().waitForLineMatching(isHealthAnswer);
    ASSERT_TRUE(second);
    EXPECT_TRUE(errors().waitForLine(std::string("Received command: HEALTH_CHECK:\0", 32) +
                                     "\xEF\xBF\xBD\xEF\xBF\xBD"));
    EXPECT_TRUE(errors().waitForLine("Received command: health_check"));
    auto third = errors().waitForLineMatching(isHealthAnswer, *second + 1);
    ASSERT_TRUE(third);

    helper.write("HEALTH_CHECK");
    helper.closeInput();
    ASSERT_TRUE(errors().waitForLineMatching(isHealthAnswer, *third + 1));
    const std::size_t linesAfter = errors().lines().size();
    EXPECT_FALSE(helper.waitForExit(300ms));
    EXPECT_EQ(errors().lines().size(), linesAfter);
}

TEST(HelperWithoutParent, SurvivesAClosedOutputChannelWhileNothingIsWritten) {
    HelperProcess helper(OSTROVANE_BINARY, HelperProcess::Output::closed);
    helper.sendLine("HEALTH_CHECK");
    EXPECT_TRUE(helper.errors().waitForLineMatching(isHealthAnswer));
    helper.sendLine("STOP");
    EXPECT_EQ(helper.waitForExit(), 0);
}

// A sound server that takes every connection (the kernel completes it from
// the listen backlog) and never says a word.
class SilentServer {
  public:
    SilentServer() {
        char dir[] = "/tmp/ostrovane-silent-XXXXXX";
        EXPECT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/native";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_TRUE(listener_.valid());
        EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address),
                  0);
        EXPECT_EQ(::listen(listener_.get(), 16), 0);
    }
    ~SilentServer() { std::filesystem::remove_all(dir_); }

    std::string address() const { return "unix:" + path_; }

  private:
    std::string dir_, path_;
    UniqueFd listener_{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
};

// Waits on the server are bounded (5 s): the helper still answers, and what
// needs the server is answered as if there were none.
TEST(SilentSoundServer, TheHelperAnswersAndGivesUpOnTheServerWithinItsBound) {
    SilentServer server;
    ::setenv("PULSE_SERVER", server.address().c_str(), 1);
    HelperProcess helper(OSTROVANE_BINARY);
    ::unsetenv("PULSE_SERVER");
    helper.sendLine("HEALTH_CHECK");
    EXPECT_TRUE(helper.errors().waitForLineMatching(isHealthAnswer, 0, 15s));
    helper.sendLine("LIST_DEVICES");
    EXPECT_TRUE(helper.errors().waitForLine("CMD_RESPONSE:DEVICES_LIST:[]", 0, 15s));
    helper.sendLine("STOP");
    EXPECT_EQ(helper.waitForExit(15s), 0);
}

}  // namespace
}  // namespace ostrovane::test
