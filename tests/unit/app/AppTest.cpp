#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>

#include "app/App.h"
#include "dispatch/ManualClock.h"
#include "support/LineCollector.h"
#include "support/Pipe.h"

namespace ostrovane::app {
namespace {

// The app in-process on pipes, with a manual clock and a main queue served by
// a thread of the test.
class InProcessApp : public ::testing::Test {
  protected:
    InProcessApp() {
        test::ignoreSigpipe();
        errors = std::make_unique<test::LineCollector>(::dup(errorPipe.readFd()));
        errorPipe.closeRead();
        mainThread = std::thread([this] { mainQueue.run(); });
    }

    ~InProcessApp() override {
        app.reset();
        mainQueue.stop();
        mainThread.join();
        errorPipe.closeWrite();
        errors.reset();
    }

    void startApp(int errorFd) {
        app =
            std::make_unique<App>(AppChannels{input.readFd(), output.writeFd(), errorFd}, platform,
                                  clock, mainQueue, [this](int status) { exitStatus = status; });
        app->start();
    }

    void send(const std::string& line) {
        const std::string bytes = line + "\n";
        ASSERT_EQ(::write(input.writeFd(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }

    dispatch::ManualClock clock{1'765'000'000.5};
    dispatch::MainQueue mainQueue{clock};
    platform::Platform platform;
    test::Pipe input, output, errorPipe;
    std::unique_ptr<test::LineCollector> errors;
    std::thread mainThread;
    std::atomic<int> exitStatus{-1};
    std::unique_ptr<App> app;
};

TEST_F(InProcessApp, HealthCheckReportsTheClocksWallTime) {
    startApp(errorPipe.writeFd());
    send("HEALTH_CHECK");
    EXPECT_TRUE(errors->waitForLine("CMD_RESPONSE:HEALTH_OK:1765000000.5"));
    clock.advanceSeconds(0.25);
    send("HEALTH_CHECK");
    EXPECT_TRUE(errors->waitForLine("CMD_RESPONSE:HEALTH_OK:1765000000.75"));
}

TEST_F(InProcessApp, StopExitsWithStatusZeroOnlyAfterTheExitDelay) {
    startApp(errorPipe.writeFd());
    send("STOP");
    send("HEALTH_CHECK");  // never taken: the loop ends with STOP
    ASSERT_TRUE(errors->waitForLine("CMD_RESPONSE:STOPPED:ok"));
    clock.advance(dispatch::milliseconds(99));
    EXPECT_EQ(exitStatus.load(), -1);
    clock.advance(dispatch::milliseconds(1));
    EXPECT_EQ(exitStatus.load(), 0);
    for (int i = 0; i < 200 && !app->loopEnded(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(app->loopEnded());
    for (const auto& l : errors->lines())
        EXPECT_EQ(l.find("HEALTH_OK"), std::string::npos);
}

TEST_F(InProcessApp, AClosedErrorChannelDoesNotStopTheHelper) {
    test::Pipe closedErrors;
    closedErrors.closeRead();
    startApp(closedErrors.writeFd());
    send("HEALTH_CHECK");
    send("STOP");
    for (int i = 0; i < 400 && !app->loopEnded(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(app->loopEnded());
    clock.advance(dispatch::milliseconds(100));
    EXPECT_EQ(exitStatus.load(), 0);
}

}  // namespace
}  // namespace ostrovane::app
