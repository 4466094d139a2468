// The audio-log reader as the microphone-app detector runs it: the real
// binary against a private PulseAudio, its lines read back from a pipe and
// parsed the way the detector parses them.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "servers/PrivatePulseServer.h"
#include "support/LineCollector.h"
#include "support/WaitUntil.h"
#include "util/Subprocess.h"

namespace ostrovane::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(10);

struct Event {
    std::string name;
    pid_t pid = 0;
    bool running = false;
};

// The detector's reading of a line: the JSON object from the first '{' to the
// end, its session name ending in "(pid)".
std::optional<Event> parse(const std::string& line) {
    const auto brace = line.find('{');
    if (brace == std::string::npos)
        return std::nullopt;
    const auto json = nlohmann::json::parse(line.substr(brace), nullptr, false);
    if (!json.is_object())
        return std::nullopt;
    const auto name = json.value("/session/name"_json_pointer, std::string());
    std::smatch match;
    if (!std::regex_search(name, match, std::regex(R"(\((\d+)\)$)")))
        return std::nullopt;
    return Event{name.substr(0, match.position(0)), std::stoi(match[1].str()),
                 json.value("/details/input_running"_json_pointer, false)};
}

// The reader with the server's environment (and nothing else of ours), its
// standard output and standard error read line by line.
class ReaderProcess {
  public:
    ReaderProcess(const PrivatePulseServer& server, const std::vector<std::string>& arguments)
        : process_(command(server, arguments)),
          lines_(process_.takeOutput().release()),
          errors_(process_.takeErrors().release()) {
        process_.closeInput();
    }
    // Ends the reader first: the collectors wait for the end of its output.
    ~ReaderProcess() { process_.kill(SIGKILL); }

    LineCollector& lines() { return lines_; }
    LineCollector& errors() { return errors_; }
    void signal(int number) { process_.kill(number); }
    // The exit status; nothing while it still runs after a while or when a
    // signal ended it.
    std::optional<int> waitForExit() { return process_.waitForExit(kWait); }

    // Index of the first line from `from` on reporting `pid` in that state.
    std::optional<std::size_t> waitForEvent(pid_t pid, bool running, std::size_t from = 0,
                                            std::chrono::milliseconds limit = kWait) {
        return lines_.waitForLineMatching(
            [&](const std::string& line) {
                auto e = parse(line);
                return e && e->pid == pid && e->running == running;
            },
            from, limit);
    }

  private:
    // `env -i` execs the reader in place: its pid is the reader's.
    static std::vector<std::string> command(const PrivatePulseServer& server,
                                            const std::vector<std::string>& arguments) {
        std::vector<std::string> argv = server.environment();
        argv.insert(argv.begin(), {"/usr/bin/env", "-i"});
        argv.push_back(OSTROVANE_AUDIO_LOG);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }

    Subprocess process_;
    LineCollector lines_;
    LineCollector errors_;
};

class AudioLogReaderTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.ready()) << "private PulseAudio did not start: " << server.failure();
        ASSERT_TRUE(server.addSineSource("log_mic", "Log Mic"));
    }

    SpawnedClient record(const std::string& device) {
        return server.spawn({"parec", "--device=" + device, "--raw", "/dev/null"});
    }

    std::size_t recordingCount() {
        auto listing = server.pactl({"list", "source-outputs", "short"});
        if (!listing || listing->empty())
            return 0;
        return 1 + std::count(listing->begin(), listing->end(), '\n');
    }

    // Returns once the reader follows the server past its baseline: a probe
    // recording is reported as started. A probe that the baseline took in is
    // not, so probes are retried until one is (each given a short while).
    // The probes are gone again on return.
    void waitUntilFollowing(ReaderProcess& reader) {
        const std::size_t recordings = recordingCount();
        const auto deadline = Clock::now() + kWait;
        bool reported = false;
        while (!reported && Clock::now() < deadline) {
            auto probe = record("log_mic");
            const pid_t pid = probe.pid();
            reported =
                reader.waitForEvent(pid, true, 0, std::chrono::milliseconds(500)).has_value();
            probe = SpawnedClient();
            if (reported) {
                ASSERT_TRUE(reader.waitForEvent(pid, false));
            }
        }
        ASSERT_TRUE(reported) << "the reader never reported a new recording";
        ASSERT_TRUE(waitUntil([&] { return recordingCount() == recordings; }, kWait));
    }

    PrivatePulseServer server;
};

// Neither a recording under way at start-up (the baseline), nor a monitor's,
// nor one of a process the reader is told to ignore is reported.
TEST_F(AudioLogReaderTest, ReportsAnInputRecordingsStartAndEndButNotAMonitorsAndStopsOnSigterm) {
    auto early = record("log_mic");
    ASSERT_TRUE(waitUntil([&] { return recordingCount() == 1; }, kWait));
    // A recorder whose pid is known before it records: a shell that waits on a
    // FIFO and then becomes parec.
    const std::string gate = server.directory() + "/gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    auto ignored = server.spawn(
        {"sh", "-c", "read line < " + gate + " && exec parec --device=log_mic --raw /dev/null"});
    ReaderProcess reader(server,
                         {"--ignore-pid", "1", "--ignore-pid", std::to_string(ignored.pid())});
    waitUntilFollowing(reader);

    int fd = -1;
    ASSERT_TRUE(
        waitUntil([&] { return (fd = open(gate.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, kWait));
    ASSERT_EQ(write(fd, "go\n", 3), 3);
    close(fd);
    auto monitor = record(std::string(PrivatePulseServer::kSpeakers) + ".monitor");
    ASSERT_TRUE(waitUntil([&] { return recordingCount() == 3; }, kWait));
    // Reported after the ignored one and the monitor's began: the reader has seen them.
    auto parec = record("log_mic");
    const pid_t pid = parec.pid();
    auto started = reader.waitForEvent(pid, true);
    ASSERT_TRUE(started);
    EXPECT_EQ(parse(reader.lines().lines()[*started])->name, "parec");

    const pid_t monitorPid = monitor.pid(), ignoredPid = ignored.pid();
    monitor = SpawnedClient();
    ignored = SpawnedClient();
    parec = SpawnedClient();
    EXPECT_TRUE(reader.waitForEvent(pid, false, *started));
    std::set<pid_t> reported;
    for (const auto& line : reader.lines().lines())
        reported.insert(parse(line).value_or(Event{}).pid);
    for (const pid_t silent : {monitorPid, ignoredPid, early.pid()})
        EXPECT_FALSE(reported.contains(silent)) << silent;
    EXPECT_TRUE(reader.errors().lines().empty());

    reader.signal(SIGTERM);
    EXPECT_EQ(reader.waitForExit(), 0);
    EXPECT_TRUE(reader.lines().waitForEnd());
}

TEST_F(AudioLogReaderTest, EndsWithAnErrorWhenTheServerIsUnreachableOrLost) {
    {
        ReaderProcess unreachable(server,
                                  {"--server", "unix:/nonexistent", "--timeout-ms", "2000"});
        EXPECT_EQ(unreachable.waitForExit(), 1);
        ASSERT_TRUE(unreachable.errors().waitForLineCount(1));
        EXPECT_NE(unreachable.errors().lines()[0].find("sound server"), std::string::npos);
        EXPECT_TRUE(unreachable.lines().waitForEnd());
        EXPECT_TRUE(unreachable.lines().lines().empty());
    }

    ReaderProcess reader(server, {"--server", server.server()});
    waitUntilFollowing(reader);
    server.kill();
    EXPECT_EQ(reader.waitForExit(), 1);
    ASSERT_TRUE(reader.errors().waitForLineCount(1));
    EXPECT_NE(reader.errors().lines()[0].find("lost"), std::string::npos);
}

}  // namespace
}  // namespace ostrovane::test
