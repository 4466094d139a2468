// The child-process options the private servers rely on: a chosen
// environment, a program found on PATH, a log file instead of pipes, and a
// process group of the child's own.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace ostrovane
