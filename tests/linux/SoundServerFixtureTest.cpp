// The private sound servers the Linux suites run against: both offer the
// same devices and survive a crash and a restart, and neither leaves a
// process behind.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>

#include "servers/PrivatePulseServer.h"
#include "support/ProcessTable.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {
namespace {

using std::chrono::seconds;

// The processes that run with `directory` as their runtime directory.
std::vector<pid_t> processesOf(const std::string& directory) {
    return processesWithEnvironment("XDG_RUNTIME_DIR=" + directory + '\0');
}

class SoundServerFixture : public testing::TestWithParam<ServerKind> {};

TEST_P(SoundServerFixture, OffersTheSameDevicesSurvivesACrashAndLeavesNoProcess) {
    std::vector<pid_t> processes;
    {
        PrivatePulseServer server(GetParam());
        ASSERT_TRUE(server.ready()) << server.failure();
        EXPECT_EQ(server.pactl({"get-default-sink"}), std::string(PrivatePulseServer::kSpeakers));
        ASSERT_TRUE(server.addPipeSource("fixture_pipe", "Fixture Pipe", 2));
        ASSERT_TRUE(server.pactl({"set-default-source", "fixture_pipe"}));
        EXPECT_EQ(server.pactl({"get-default-source"}), std::string("fixture_pipe"));

        server.kill();
        EXPECT_FALSE(server.pactl({"info"}));
        ASSERT_TRUE(server.restart({"module-sine-source source_name=back_mic"}))
            << server.failure();
        EXPECT_TRUE(waitUntil(
            [&] {
                return server.pactl({"list", "short", "sources"}).value_or("").find("back_mic") !=
                       std::string::npos;
            },
            seconds(5)));
        processes = processesOf(server.directory());
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
