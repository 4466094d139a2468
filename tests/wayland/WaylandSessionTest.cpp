// The Wayland session leaves behind no process it, the bus or sway started, and no directory.
#include <gtest/gtest.h>
#include <filesystem>

#include "servers/PrivateWaylandSession.h"
#include "support/ProcessTable.h"

namespace ostrovane::test {
namespace {

TEST(WaylandSession, EndsEveryProcessItStartedAndRemovesItsDirectory) {
    std::vector<pid_t> started;
    std::string directory, failure;
    {
        PrivateWaylandSession session({.pulse = true});
        ASSERT_TRUE(session.ready(failure)) << failure;
        ASSERT_TRUE(session.startMovingContent());
        directory = session.directory();
        started = processesWithEnvironment(directory);
        session.killCompositor();  // what it started is handed on
    }
    EXPECT_GE(started.size(), 8u);
    EXPECT_FALSE(std::filesystem::exists(directory));
    for (const pid_t pid : started)
        EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(pid))) << pid << " is left";
}

}  // namespace
}  // namespace ostrovane::test
