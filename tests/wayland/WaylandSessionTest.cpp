// The private Wayland session the Wayland tests run against: its compositor,
// its portal as the test process reaches them, its clients' identity, and a
// compositor crash.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "servers/PrivateWaylandSession.h"
#include "support/HelperProcess.h"
#include "support/ToolOutput.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

bool connects(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// All a short-lived client printed, once its output has closed.
std::string printed(HelperProcess& client) {
    EXPECT_EQ(client.waitForExit(), 0);
    std::vector<std::uint8_t> bytes;
    waitUntil(
        [&] {
            bytes = client.outputBytes();
            return !bytes.empty() && bytes.back() == '\n';
        },
        std::chrono::seconds(5));
    return {bytes.begin(), bytes.end()};
}

class WaylandSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string failure;
        ASSERT_TRUE(session_.ready(failure)) << failure;
    }

    PrivateWaylandSession session_;
};

TEST_F(WaylandSessionTest, CompositorShowsTheConfiguredOutputAndCreatesMore) {
    std::string outputs;
    ASSERT_TRUE(session_.sway({"-p", "-t", "get_outputs"}, &outputs)) << outputs;
    EXPECT_THAT(outputs, HasSubstr("Output HEADLESS-1"));
    EXPECT_THAT(outputs, HasSubstr("Current mode: 1280x720"));

    ASSERT_TRUE(session_.sway({"create_output"}));
    ASSERT_TRUE(session_.sway({"-p", "-t", "get_outputs"}, &outputs));
    EXPECT_THAT(outputs, HasSubstr("Output HEADLESS-2"));
}

TEST_F(WaylandSessionTest, PortalAnswersUsAndClientsRunAsTheSessionUser) {
    // The test process reads the portal's properties over the session bus.
    const auto version =
        toolOutput({"/usr/bin/busctl", "--address=" + session_.busAddress(), "get-property",
                    "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
                    "org.freedesktop.portal.ScreenCast", "version"});
    ASSERT_TRUE(version.has_value());
    EXPECT_THAT(*version, ::testing::MatchesRegex("u [1-9][0-9]*\n"));

    // A client gets the session's user, its group alone, and its environment.
    const std::string user = PrivateWaylandSession::kUser;
    const std::string group = std::to_string(session_.gid()) + "(" + user + ")";
    HelperProcess id("/usr/bin/id", {.user = session_.uid(), .group = session_.gid()});
    EXPECT_EQ(printed(id), "uid=" + std::to_string(session_.uid()) + "(" + user + ") gid=" + group +
                               " groups=" + group + "\n");
    HelperProcess env("/usr/bin/env",
                      {.environment = session_.environment(), .user = session_.uid()});
    const std::string variables = printed(env);
    EXPECT_THAT(variables, HasSubstr("WAYLAND_DISPLAY=wayland-"));
    EXPECT_THAT(variables, Not(HasSubstr("DISPLAY=:")));
}

TEST_F(WaylandSessionTest, KilledCompositorStopsAnsweringAndIsReported) {
    ASSERT_TRUE(session_.startMovingContent());
    ASSERT_TRUE(connects(session_.waylandSocketPath()));

    session_.killCompositor();

    EXPECT_FALSE(connects(session_.waylandSocketPath()));
    std::string failure;
    EXPECT_FALSE(session_.ready(failure));
    EXPECT_THAT(failure, HasSubstr("sway has exited"));
}

TEST(WaylandSessionWithoutPortal, NoOneAnswersForThePortal) {
    PrivateWaylandSession session({.portal = false});
    std::string failure;
    ASSERT_TRUE(session.ready(failure)) << failure;
    // Not even started on demand.
    EXPECT_FALSE(toolOutput({"/usr/bin/busctl", "--address=" + session.busAddress(), "introspect",
                             "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop"}));
    EXPECT_FALSE(session.busNameOwner("org.freedesktop.portal.Desktop"));
}

}  // namespace
}  // namespace ostrovane::test
