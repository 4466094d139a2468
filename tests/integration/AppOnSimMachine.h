#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dispatch/ManualClock.h"
#include "platform/sim/SimWorld.h"
#include "support/InProcessApp.h"

namespace ostrovane::test {

// The app over pipes on a simulated machine (empty until a test adds to it)
// with time on a manual clock.
class AppOnSimMachine : public ::testing::Test {
  protected:
    AppOnSimMachine() {
        EXPECT_TRUE(app.errors().waitForLineMatching(
            [](const std::string& l) { return l.starts_with("Helper ready"); }));
    }

    // Sends `command` and returns the payload of the response that begins
    // with the command's own tag (or `prefix`), empty when none came.
    std::string ask(const std::string& command, std::string prefix = "") {
        if (prefix.empty())
            prefix = command.substr(0, command.find(':')) + ":";
        if (prefix == "SCREENSHOT:")
            prefix = "SCREENSHOT_DATA:";
        const std::size_t from = app.lines().size();
        app.send(command);
        return app.answerStartingWith(prefix, from).value_or("");
    }

    // Sends the lines, then waits until all of them have been handled; the
    // lines written meanwhile, without the loop's own and the marker's.
    std::vector<std::string> run(const std::vector<std::string>& commands) {
        const std::size_t from = app.lines().size();
        for (const auto& command : commands)
            app.send(command);
        clock.settle();
        app.send("HEALTH_CHECK");
        EXPECT_TRUE(app.answerStartingWith("HEALTH_OK:", from));
        const auto all = app.lines();
        std::vector<std::string> out;
        for (std::size_t i = from; i < all.size() && !all[i].starts_with("CMD_RESPONSE:HEALTH_OK:");
             ++i) {
            if (!all[i].starts_with("Received command: "))
                out.push_back(all[i]);
        }
        return out;
    }

    // Sends `command` and steps time in `step`s (calling `eachStep` before
    // each) until a line starting with `prefix` comes; the rest of that
    // line, empty when none came.
    std::string stepUntil(
        const std::string& command, const std::string& prefix,
        dispatch::Duration step = dispatch::milliseconds(50),
        const std::function<void()>& eachStep = [] {}) {
        const std::size_t from = app.lines().size();
        app.send(command);
        auto matches = [&](const std::string& l) { return l.starts_with(prefix); };
        std::optional<std::size_t> at;
        for (int i = 0; i < 200 && !(at = app.errors().waitForLineMatching(
                                         matches, from, std::chrono::milliseconds(20)));
             ++i) {
            eachStep();
            clock.advance(step);
        }
        if (!at)
            at = app.errors().waitForLineMatching(matches, from);
        EXPECT_TRUE(at) << command;
        return at ? app.lines()[*at].substr(prefix.size()) : "";
    }

    // The answers among `lines`, without their tag.
    static std::vector<std::string> answers(const std::vector<std::string>& lines) {
        std::vector<std::string> out;
        for (const auto& line : lines) {
            if (line.starts_with("CMD_RESPONSE:"))
                out.push_back(line.substr(13));
        }
        return out;
    }

    bool hasLine(const std::string& line) { return app.errors().waitForLine(line).has_value(); }

    dispatch::ManualClock clock{1'765'000'000.0};
    platform::sim::SimWorld world{clock};
    InProcessApp app{clock, world.platform()};
};

}  // namespace ostrovane::test
