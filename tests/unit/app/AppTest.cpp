#include <gtest/gtest.h>

#include "dispatch/ManualClock.h"
#include "support/InProcessApp.h"

namespace ostrovane::app {
namespace {

struct AppTest : ::testing::Test {
    dispatch::ManualClock clock{1'765'000'000.5};
    test::InProcessApp app{clock, {}};
};

TEST_F(AppTest, HealthCheckReportsTheClocksWallTime) {
    app.send("HEALTH_CHECK");
    EXPECT_TRUE(app.answer("HEALTH_OK:1765000000.5"));
    clock.advanceSeconds(0.25);
    app.send("HEALTH_CHECK");
    EXPECT_TRUE(app.answer("HEALTH_OK:1765000000.75"));
}

TEST_F(AppTest, StopExitsWithStatusZeroOnlyAfterTheExitDelay) {
    app.send("STOP");
    app.send("HEALTH_CHECK");  // never taken: the loop ends with STOP
    ASSERT_TRUE(app.answer("STOPPED:ok"));
    clock.advance(dispatch::milliseconds(99));
    EXPECT_EQ(app.exitStatus(), -1);
    clock.advance(dispatch::milliseconds(1));
    EXPECT_EQ(app.exitStatus(), 0);
    for (const auto& l : app.lines())
        EXPECT_EQ(l.find("HEALTH_OK"), std::string::npos);
}

}  // namespace
}  // namespace ostrovane::app
