#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "dispatch/SystemClock.h"
#include "platform/x11/X11Displays.h"
#include "support/PrivateXServer.h"
#include "x11/TestWindows.h"

namespace ostrovane::test {

// 0xRRGGBB of one pixel.
inline std::uint32_t rgbAt(const platform::Image& image, std::uint32_t x, std::uint32_t y) {
    const std::uint8_t* p = image.row(y) + std::size_t{x} * 4;
    return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

// A private Xvfb, the test client on it and the provider on it, in real time.
class X11Fixture : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.ready()) << "Xvfb could not be started";
        windows = std::make_unique<TestWindows>(server.name());
        ASSERT_TRUE(windows->connected());
        screen = platform::x11::X11Displays::connect(clock, quiet(server.name()));
        ASSERT_NE(screen, nullptr);
    }

    // The provider's options for `display`, its log kept out of the test's output.
    static platform::x11::X11Displays::Options quiet(std::string display) {
        return {.displayName = std::move(display), .owners = {}, .log = [](std::string_view) {}};
    }

    template <class T, class Ask>
    static std::optional<T> await(Ask ask) {
        auto answer = std::make_shared<std::promise<T>>();
        ask([answer](T value) { answer->set_value(std::move(value)); });
        auto future = answer->get_future();
        if (future.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
            return std::nullopt;
        return future.get();
    }

    platform::Result<platform::ShareableContent> content(
        platform::ShareableContentOptions options = {}) {
        auto r = await<platform::Result<platform::ShareableContent>>(
            [&](auto done) { screen->shareableContent(options, done); });
        return r ? *r : platform::Error{"test", -1, "no answer"};
    }

    platform::Result<platform::Image> shot(const platform::ContentFilter& filter,
                                           platform::StreamConfiguration config) {
        auto r = await<platform::Result<platform::Image>>(
            [&](auto done) { screen->screenshot(filter, config, done); });
        return r ? *r : platform::Error{"test", -1, "no answer"};
    }

    platform::ContentFilter displayFilter() {
        auto all = content();
        EXPECT_TRUE(all.ok());
        return screen->makeFilter(all.ok() ? all.value().displays.front() : platform::Display{});
    }

    // Declared first: destroyed last.
    dispatch::SystemClock clock;
    PrivateXServer server;
    std::unique_ptr<TestWindows> windows;
    std::shared_ptr<platform::x11::X11Displays> screen;
};

}  // namespace ostrovane::test
