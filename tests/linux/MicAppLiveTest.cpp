// The mic app detector on the real provider: the audio-log reader against a
// private sound server, recordings reported under their desktop entries.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "integration/monitoring/MicAppFixture.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/processes/ProcFs.h"
#include "servers/PrivatePulseServer.h"
#include "support/WaitUntil.h"

namespace ostrovane::monitoring::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Our children whose executable is the audio-log reader.
std::vector<platform::Pid> audioLogChildren() {
    const platform::ProcFs proc;
    std::vector<platform::Pid> out;
    for (const auto pid : proc.pids()) {
        const auto exe = proc.executable(pid);
        if (proc.parent(pid) == ::getpid() && exe && exe->ends_with("/ostrovane-audio-log"))
            out.push_back(pid);
    }
    return out;
}

class MicAppLiveTest : public MicAppFixture {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.ready()) << server.failure();
        ASSERT_TRUE(server.addSineSource("live_mic", "Live Mic"));
        const fs::path apps = fs::path(server.directory()) / "data" / "applications";
        fs::create_directories(apps);
        std::ofstream(apps / "org.example.Recorder.desktop")
            << "[Desktop Entry]\nType=Application\nName=Recorder\nExec=parec %f\n";
        platform::LinuxPlatformOptions options;
        options.pulseServer = server.server();
        options.systemBus = "unix:path=/nonexistent/bus";
        options.audioLogExecutable = OSTROVANE_AUDIO_LOG;
        options.applicationSources.desktop = platform::DesktopEntrySources{
            {(fs::path(server.directory()) / "data").string()}, {"/usr/bin", "/bin"}, ""};
        platform = platform::makeLinuxPlatform(clock, std::move(options));
    }

    // Waits (in real time: the server and the reader are real) until there
    // are `count` records of `tag`; the last one (null when they did not come).
    nlohmann::json waitFor(const std::string& tag, std::size_t count = 1) {
        std::vector<nlohmann::json> found;
        test::waitUntil(
            [&] {
                clock.settle();
                return (found = records(channels.lines(), tag)).size() >= count;
            },
            10s, 50ms);
        return found.size() < count ? nlohmann::json() : found.back();
    }

    test::PrivatePulseServer server;
};

// Neither a monitor's recording nor one of a process the reader is told to
// ignore is reported.
TEST_F(MicAppLiveTest, RecordingsAreReportedUnderTheirApplicationsAndAnEndedLogIsRestarted) {
    const auto recordings = [&] {
        const auto listing = server.pactl({"list", "short", "source-outputs"}).value_or("");
        return listing.empty() ? 0 : 1 + std::count(listing.begin(), listing.end(), '\n');
    };
    // A recorder whose pid is known before it records: a shell that waits on a
    // FIFO and then becomes parec.
    const std::string gate = server.directory() + "/gate";
    ASSERT_EQ(::mkfifo(gate.c_str(), 0600), 0);
    auto ignored = server.spawn(
        {"sh", "-c", "read line < " + gate + " && exec parec --device=live_mic --raw /dev/null"});
    auto& arguments = platform.audioInputLog.command.arguments;
    arguments.insert(arguments.end(), {"--ignore-pid", std::to_string(ignored.pid())});
    start();
    std::vector<platform::Pid> reader;
    test::waitUntil([&] { return !(reader = audioLogChildren()).empty(); }, 2s);
    ASSERT_EQ(reader.size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the reader takes its baseline
    std::ofstream(gate) << "go\n";
    const std::string speakers = test::PrivatePulseServer::kSpeakers;
    auto monitor =
        server.spawn({"parec", "--device=" + speakers + ".monitor", "--raw", "/dev/null"});
    ASSERT_TRUE(test::waitUntil([&] { return recordings() == 2; }, 10s));

    // Reported after the ignored one and the monitor's began: the reader has seen them.
    auto parec = server.spawn({"parec", "--device=live_mic", "--raw", "/dev/null"});
    auto started = waitFor("MIC_APP_EVENT:");
    EXPECT_EQ(started["bundleId"], "org.example.Recorder");
    EXPECT_EQ(started["appName"], "Recorder");
    EXPECT_EQ(started["pid"], parec.pid());
    parec = test::SpawnedClient();
    EXPECT_EQ(waitFor("MIC_APP_STOP_EVENT:")["bundleId"], "org.example.Recorder");

    // A copy of pacat under a folder whose name is not UTF-8 records beside
    // parec: both are reported, and so is the snapshot that lists them.
    const fs::path folder = fs::path(server.directory()) / "rec\xFF";
    fs::create_directories(folder);
    fs::copy_file("/usr/bin/pacat", folder / "rec");
    const std::string id = "path:" + server.directory() + "/rec\xEF\xBF\xBD/rec";
    const std::size_t before = records(channels.lines(), "MIC_APP_EVENT:").size();
    parec = server.spawn({"parec", "--device=live_mic", "--raw", "/dev/null"});
    auto copy = server.spawn({(folder / "rec").string(), "-r", "--device=live_mic", "/dev/null"});
    waitFor("MIC_APP_EVENT:", before + 2);
    const auto events = records(channels.lines(), "MIC_APP_EVENT:");
    ASSERT_EQ(events.size(), before + 2);
    EXPECT_EQ((std::set<std::string>{events[before]["bundleId"], events[before + 1]["bundleId"]}),
              (std::set<std::string>{id, "org.example.Recorder"}));
    clock.advanceSeconds(MicAppDetector::snapshotInterval);
    EXPECT_EQ(waitFor("MIC_APP_SNAPSHOT:")["bundleIds"],
              nlohmann::json({"org.example.Recorder", id}));
    const std::set<int> silent{ignored.pid(), monitor.pid()};
    for (const auto& event : records(channels.lines(), "MIC_APP_EVENT:"))
        EXPECT_FALSE(silent.contains(event["pid"].get<int>())) << event.dump();

    ::kill(reader[0], SIGKILL);
    EXPECT_EQ(waitFor("MIC_APP_ERROR:")["error"], "log stream exited with status 9");
    clock.advanceSeconds(5);
    std::vector<platform::Pid> again;
    test::waitUntil([&] { return !(again = audioLogChildren()).empty() && again != reader; }, 2s);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_NE(again, reader);
    // A lost server ends the reader, and so does one it cannot reach.
    server.kill();
    EXPECT_EQ(waitFor("MIC_APP_ERROR:", 2)["error"], "log stream exited with status 1");
    clock.advanceSeconds(5);
    EXPECT_EQ(waitFor("MIC_APP_ERROR:", 3)["error"], "log stream exited with status 1");
    stop();
}

}  // namespace
}  // namespace ostrovane::monitoring::testing
