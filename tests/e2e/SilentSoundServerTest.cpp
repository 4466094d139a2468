#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/HelperProcess.h"
#include "util/UniqueFd.h"

namespace ostrovane::test {
namespace {

using namespace std::chrono_literals;

// A sound server that takes every connection (the kernel completes it from
// the listen backlog) and never says a word.
class SilentServer {
  public:
    SilentServer() {
        char dir[] = "/tmp/ostrovane-silent-XXXXXX";
        EXPECT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/native";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_TRUE(listener_.valid());
        EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address),
                  0);
        EXPECT_EQ(::listen(listener_.get(), 16), 0);
    }
    ~SilentServer() { std::filesystem::remove_all(dir_); }

    std::string address() const { return "unix:" + path_; }

  private:
    std::string dir_, path_;
    UniqueFd listener_{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
};

// Waits on the server are bounded (5 s): the helper still answers, and what
// needs the server is answered as if there were none.
TEST(SilentSoundServer, TheHelperAnswersAndGivesUpOnTheServerWithinItsBound) {
    SilentServer server;
    ::setenv("PULSE_SERVER", server.address().c_str(), 1);
    HelperProcess helper(OSTROVANE_BINARY);
    ::unsetenv("PULSE_SERVER");
    helper.sendLine("HEALTH_CHECK");
    EXPECT_TRUE(helper.errors().waitForLineMatching(
        [](const std::string& l) { return l.starts_with("CMD_RESPONSE:HEALTH_OK:"); }, 0, 15s));
    helper.sendLine("LIST_DEVICES");
    EXPECT_TRUE(helper.errors().waitForLine("CMD_RESPONSE:DEVICES_LIST:[]", 0, 15s));
    helper.sendLine("STOP");
    EXPECT_EQ(helper.waitForExit(15s), 0);
}

}  // namespace
}  // namespace ostrovane::test
