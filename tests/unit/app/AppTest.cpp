#include <gtest/gtest.h>

#include "dispatch/ManualClock.h"
#include "support/InProcessApp.h"

namespace ostrovane::app {
namespace {

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
