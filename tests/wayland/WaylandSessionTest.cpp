// The Wayland session leaves behind no process it, the bus or sway started, and no directory.
#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "servers/PrivateWaylandSession.h"

namespace ostrovane::test {
namespace {

TEST(WaylandSession, EndsEveryProcessItStartedAndRemovesItsDirectory) {
    std::vector<std::filesystem::path> started;
    std::string directory, failure;
    {
        PrivateWaylandSession session({.pulse = true});
        ASSERT_TRUE(session.ready(failure)) << failure;
        ASSERT_TRUE(session.startMovingContent());
        directory = session.directory();
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::ifstream in(entry.path() / "environ");
            if (std::string(std::istreambuf_iterator<char>(in), {}).find(directory) !=
                std::string::npos)
                started.push_back(entry.path());
        }
        session.killCompositor();  // what it started is handed on
    }
    EXPECT_GE(started.size(), 8u);
    EXPECT_FALSE(std::filesystem::exists(directory));
    for (const auto& process : started)
        EXPECT_FALSE(std::filesystem::exists(process)) << process << " is left";
}

}  // namespace
}  // namespace ostrovane::test
