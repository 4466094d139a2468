#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dispatch/ManualClock.h"
#include "platform/sim/SimWorld.h"
#include "support/InProcessApp.h"

namespace ostrovane::app::testing {

using test::linesStartingWith;

// The app over pipes on a simulated machine (empty until a test adds to it)
// with time on a manual clock.
class AppOnSimMachine : public ::testing::Test {
  protected:
    AppOnSimMachine() {
        EXPECT_TRUE(app.errors().waitForLineMatching(
            [](const std::string& l) { return l.starts_with("Helper ready"); }));
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

    // Sends `command` and steps time until a line starting with `until`;
    // the lines written since.
    std::vector<std::string> runUntil(const std::string& command, const std::string& until) {
        const std::size_t from = app.lines().size();
        app.send(command);
        auto matches = [&](const std::string& l) { return l.starts_with(until); };
        for (int step = 0; step < 100 && !app.errors().waitForLineMatching(
                                             matches, from, std::chrono::milliseconds(20));
             ++step)
            clock.advance(dispatch::milliseconds(50));
        EXPECT_TRUE(app.errors().waitForLineMatching(matches, from)) << command;
        const auto all = app.lines();
        return {all.begin() + static_cast<long>(from), all.end()};
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

    // The rest of the last line starting with `prefix`, empty when none does.
    static std::string lastStartingWith(const std::vector<std::string>& lines,
                                        const std::string& prefix) {
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            if (it->starts_with(prefix))
                return it->substr(prefix.size());
        }
        return "";
    }

    dispatch::ManualClock clock{1'765'000'000.0};
    platform::sim::SimWorld world{clock};
    test::InProcessApp app{clock, world.platform()};
};

}  // namespace ostrovane::app::testing
