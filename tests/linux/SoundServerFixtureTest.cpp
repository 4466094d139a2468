// The private sound servers leave no process behind, even after a crash and a
// restart: every other suite only sees that a server answers, never what
// outlives it.
#include <gtest/gtest.h>

#include <signal.h>

#include "servers/PrivatePulseServer.h"
#include "support/ProcessTable.h"

namespace ostrovane::test {
namespace {

class SoundServerFixture : public testing::TestWithParam<ServerKind> {};

TEST_P(SoundServerFixture, LeavesNoProcessAfterACrashAndARestart) {
    std::vector<pid_t> processes;
    {
        PrivatePulseServer server(GetParam());
        ASSERT_TRUE(server.ready()) << server.failure();
        server.kill();
        ASSERT_TRUE(server.restart({})) << server.failure();
        processes = processesWithEnvironment("XDG_RUNTIME_DIR=" + server.directory() + '\0');
        EXPECT_FALSE(processes.empty());
    }
    for (const pid_t pid : processes)
        EXPECT_NE(::kill(pid, 0), 0) << "process " << pid << " outlived its server";
}

INSTANTIATE_TEST_SUITE_P(Kinds, SoundServerFixture,
                         testing::Values(ServerKind::PulseAudio, ServerKind::PipeWire),
                         [](const auto& info) {
                             return info.param == ServerKind::PipeWire ? "PipeWire" : "PulseAudio";
                         });

}  // namespace
}  // namespace ostrovane::test
