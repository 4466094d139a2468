#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "dispatch/SystemClock.h"
#include "platform/x11/X11Displays.h"
#include "support/PrivateXServer.h"

namespace ostrovane::platform::x11 {
namespace {

TEST(X11Displays, GlobalFramesUseTheBottomLeftOfThePrimaryMonitor) {
    const X11Monitor left{10, "left", 0, 0, 1280, 1024, false};
    const X11Monitor primary{20, "main", 1280, 200, 1920, 1080, true};
    const auto displays = X11Displays::displaysOf({left, primary});
    ASSERT_EQ(displays.size(), 2u);
    EXPECT_EQ(displays[0].displayId, 20u);  // the primary comes first
    EXPECT_EQ(displays[0].frame, (Rect{0, 0, 1920, 1080}));
    // The left monitor's bottom edge (y 1024 in X) lies 256 above the
    // primary's bottom edge (y 1280 in X).
    EXPECT_EQ(displays[1].frame, (Rect{-1280, 256, 1280, 1024}));
}

TEST(X11Displays, ListsTheDisplaysOfARealServer) {
    test::PrivateXServer server;
    ASSERT_TRUE(server.ready()) << "Xvfb could not be started";
    dispatch::SystemClock clock;
    auto displays = X11Displays::connect(clock, server.name());
    ASSERT_NE(displays, nullptr);

    std::promise<Result<ShareableContent>> answer;
    displays->shareableContent({}, [&](Result<ShareableContent> r) { answer.set_value(r); });
    auto content = answer.get_future().get();
    ASSERT_TRUE(content.ok()) << content.error().message;
    ASSERT_EQ(content.value().displays.size(), 1u);
    const Display& main = content.value().displays[0];
    EXPECT_NE(main.displayId, 0u);
    EXPECT_EQ(main.width, 1920);
    EXPECT_EQ(main.height, 1080);
    EXPECT_EQ(main.frame, (Rect{0, 0, 1920, 1080}));

    const auto screens = displays->screens();
    ASSERT_EQ(screens.screens.size(), 1u);
    EXPECT_EQ(screens.mainScreen, 0u);
    EXPECT_EQ(screens.screens[0].screenNumber, main.displayId);
}

TEST(X11Displays, NoServerMeansNoProvider) {
    dispatch::SystemClock clock;
    EXPECT_EQ(X11Displays::connect(clock, ":119"), nullptr);
}

}  // namespace
}  // namespace ostrovane::platform::x11
