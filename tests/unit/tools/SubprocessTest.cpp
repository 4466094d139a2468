// The child-process options the private servers rely on: a chosen
// environment, a program found on PATH, a log file instead of pipes, and a
// process group of the child's own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "util/Subprocess.h"

namespace ostrovane {
namespace {

TEST(SubprocessOptions, EnvironmentPathLogAndGroupReachTheChild) {
    const auto log = std::filesystem::temp_directory_path() /
                     ("ostrovane-subprocess-" + std::to_string(getpid()) + ".log");
    Subprocess::Options options;
    options.environment = {"PROBE=private", "PATH=/usr/bin:/bin"};
    options.searchPath = true;
    options.logFile = log.string();
    options.outputToLog = true;
    options.processGroup = 0;
    // The fifth field of /proc/PID/stat is the process group.
    Subprocess child(
        {"sh", "-c", "echo \"$PROBE $HOME $(cut -d' ' -f5 /proc/$$/stat)\"; echo err >&2"},
        options);
    EXPECT_EQ(child.waitForExit(std::chrono::seconds(5)), 0);
    EXPECT_FALSE(child.takeOutput().valid());
    std::ifstream in(log);
    const std::string written((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(written, "private  " + std::to_string(child.pid()) + "\nerr\n");
    std::filesystem::remove(log);

    // Without the PATH lookup a bare name is no program.
    EXPECT_THROW(Subprocess({"sh", "-c", "true"}), std::runtime_error);
}

// A descriptor of ours that is not close-on-exec (a test runner's log, a
// server's socket) must not keep living in a child, as whoever waits for
// its end would wait for the child too. As us and as a user (root here).
TEST(SubprocessOptions, AChildInheritsOnlyItsStandardStreams) {
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    for (const bool asUser : {false, true}) {
        Subprocess::Options options;
        if (asUser)
            options.user = ::geteuid();
        Subprocess child({"/bin/ls", "/proc/self/fd"}, options);
        UniqueFd output = child.takeOutput();
        std::string listed;
        char buffer[256];
        for (ssize_t n; (n = ::read(output.get(), buffer, sizeof buffer)) > 0;)
            listed.append(buffer, static_cast<std::size_t>(n));
        EXPECT_EQ(child.waitForExit(std::chrono::seconds(5)), 0);
        // ls's own directory is the 3.
        EXPECT_EQ(listed, "0\n1\n2\n3\n") << (asUser ? "as a user" : "as us");
    }
    ::close(leaked);
}

}  // namespace
}  // namespace ostrovane
