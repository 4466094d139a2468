#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include "app/InputReader.h"
#include "dispatch/ManualClock.h"
#include "support/InProcessApp.h"
#include "support/Pipe.h"

namespace ostrovane::app {
namespace {

std::vector<InputLine> readAll(const std::string& bytes, std::size_t limit) {
    test::Pipe pipe;
    LineQueue queue;
    std::vector<InputLine> lines;
    {
        InputReader reader(pipe.readFd(), queue, limit);
        // Feed in awkward pieces so lines straddle reads.
        for (std::size_t i = 0; i < bytes.size(); i += 3) {
            const auto piece = bytes.substr(i, 3);
            EXPECT_EQ(::write(pipe.writeFd(), piece.data(), piece.size()),
                      static_cast<ssize_t>(piece.size()));
        }
        pipe.closeWrite();
        while (auto line = queue.pop())
            lines.push_back(*line);
    }
    return lines;
}

TEST(InputReader, SplitsLinesStripsTerminatorsAndKeepsALastPartialLine) {
    auto lines = readAll("one\r\ntwo\n\nthree\rx\nlast", 64);
    std::vector<std::string> texts;
    for (auto& l : lines)
        texts.push_back(l.text);
    EXPECT_THAT(texts, ::testing::ElementsAre("one", "two", "", "three\rx", "last"));

    // A destructor that waited for input would hold the test until it times out.
    test::Pipe idle;
    LineQueue queue;
    { InputReader reader(idle.readFd(), queue); }
}

struct AppTest : ::testing::Test {
    dispatch::ManualClock clock{1'765'000'000.5};
    test::InProcessApp app{clock, {}};
};

TEST_F(AppTest, HealthCheckReportsTheClocksWallTimeAndStopExitsAfterTheExitDelay) {
    app.send("HEALTH_CHECK");
    EXPECT_TRUE(app.answer("HEALTH_OK:1765000000.5"));
    clock.advanceSeconds(0.25);
    app.send("HEALTH_CHECK");
    EXPECT_TRUE(app.answer("HEALTH_OK:1765000000.75"));

    app.send("STOP");
    app.send("HEALTH_CHECK");  // never taken: the loop ends with STOP
    ASSERT_TRUE(app.answer("STOPPED:ok"));
    clock.advance(dispatch::milliseconds(99));
    EXPECT_EQ(app.exitStatus(), -1);
    clock.advance(dispatch::milliseconds(1));
    EXPECT_EQ(app.exitStatus(), 0);
    EXPECT_EQ(test::linesStartingWith(app.lines(), "CMD_RESPONSE:HEALTH_OK").size(), 2u);
}

}  // namespace
}  // namespace ostrovane::app
