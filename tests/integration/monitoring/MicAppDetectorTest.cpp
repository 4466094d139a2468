#include "integration/monitoring/MicAppFixture.h"
#include "monitoring/AudioMxdLine.h"
#include "monitoring/LogLineSplitter.h"

namespace ostrovane::monitoring::testing {
namespace {

using nlohmann::json;
using platform::sim::SimChildScript;
using ::testing::AllOf;
using ::testing::SizeIs;

class MicAppDetectorTest : public MicAppFixture {};

TEST_F(MicAppDetectorTest, OneEventPerApplicationTheStopCarriesTheLastPidAndPidsAreLookedUpAgain) {
    world.applications().addApplication({501, "us.zoom.xos", "zoom.us", std::nullopt});
    world.applications().addApplication({502, "us.zoom.xos", "zoom.us", std::nullopt});
    start();
    fresh();
    say("zoom.us", 501, true);
    clock.advanceSeconds(0.5);
    say("zoom.us", 502, true);
    const auto events = records(fresh(), "MIC_APP_EVENT:");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_THAT(events[0], HoldsFields(json{
                               {"bundleId", "us.zoom.xos"}, {"appName", "zoom.us"}, {"pid", 501}}));
    EXPECT_DOUBLE_EQ(events[0]["timestamp"].get<double>(), clock.wallTime() - 0.5);

    say("zoom.us", 501, false);
    EXPECT_TRUE(records(fresh(), "MIC_APP_STOP_EVENT:").empty());
    say("zoom.us", 502, false);
    EXPECT_THAT(records(fresh(), "MIC_APP_STOP_EVENT:"),
                ElementsAre(HoldsFields(json{{"pid", 502}})));

    // A stop nobody started has no event.
    say("ghost", 999, false);
    EXPECT_TRUE(records(fresh(), "MIC_APP_STOP_EVENT:").empty());

    // Once the cache is 30 s old, a pid taken over by another program is
    // named after its new owner.
    world.applications().removeApplication(501);
    world.applications().addApplication({501, "org.new", "New", {}});
    clock.advanceSeconds(MicAppResolver::pidCacheMaxAge + 1.5);  // between two snapshots
    say("x", 501, true);
    EXPECT_EQ(starts(fresh()), Lines{"org.new|New"});
}

TEST_F(MicAppDetectorTest, LinesReachTheTrackerWhateverTheChunking) {
    start();
    fresh();
    const std::string text = "Filtering the log data using \"input_running\"\n" +
                             logLine("Timestamp", 40, true) + logLine("caf\xC3\xA9", 41, true) +
                             logLine("rec", 42, true);
    for (std::size_t at = 0; at < text.size(); ++at)  // a byte at a time
        logChild().write(text.substr(at, 1));
    clock.settle();
    EXPECT_EQ(starts(fresh()), (Lines{"process:caf\xC3\xA9|caf\xC3\xA9", "process:rec|rec"}));
}

// What the machine knows of the process: a registered application (bundle
// id, name), its executable, which may lie in one of the bundles on disk.
struct ResolutionCase {
    const char* what;
    std::string registeredId, registeredName;  // none when empty
    std::string executable;
    std::string hint;
    std::string expected;  // "bundle id|app name", empty for no event
};

TEST_F(MicAppDetectorTest, ResolvesProcessesToTheApplicationsThatOwnThem) {
    const std::string zoom = "/Applications/zoom.us.app";
    const std::string helper = zoom + "/Contents/Frameworks/ZoomHelper.app";
    const std::vector<ResolutionCase> cases{
        {"registered application", "com.apple.FaceTime", "FaceTime", "", "avconf",
         "com.apple.FaceTime|FaceTime"},
        {"helper inside the application's bundle", "", "", helper + "/Contents/MacOS/Zoom Helper",
         "Zoom Helper", "us.zoom.xos|Zoom"},
        {"bundle whose name is not a string", "", "", "/Applications/Rec.app/Contents/MacOS/rec",
         "rec", "org.rec|org.rec"},
        {"plain executable", "", "", "/usr/local/bin/sox.bin", "sox",
         "path:/usr/local/bin/sox.bin|sox"},
        {"path that is not UTF-8", "", "", "/opt/rec\xFF/rec", "rec",
         "path:/opt/rec\xEF\xBF\xBD/rec|rec"},
        {"known only by its log name", "", "", "", "sox", "process:sox|sox"},
        {"daemon by bundle id", "com.apple.coreaudiod", "A", "", "x", ""},
        {"daemon by log name", "", "", "", "SystemSoundServer-macOS", ""},
        {"the helper itself", "", "", "", "Ostrovane", ""},
    };
    start();
    auto& apps = world.applications();
    apps.addBundle({zoom, "us.zoom.xos", {{"CFBundleDisplayName", "Zoom"}}});
    apps.addBundle({helper, "us.zoom.helper", {{"CFBundleName", "Zoom Helper"}}});
    apps.addBundle({"/Applications/Rec.app", "org.rec", {{"CFBundleName", 3}}});
    for (platform::Pid pid = 301; const auto& c : cases) {
        if (!c.registeredId.empty())
            apps.addApplication({pid, c.registeredId, c.registeredName, {}});
        if (!c.executable.empty())
            apps.setExecutablePath(pid, c.executable);
        say(c.hint, pid, true);
        EXPECT_EQ(starts(fresh()), c.expected.empty() ? Lines{} : Lines{c.expected}) << c.what;
        ++pid;
    }
}

TEST_F(MicAppDetectorTest, StartingReconstructsSessionsAndConfirmsWithASnapshot) {
    world.applications().addApplication({700, "com.discord", "Discord", {}});
    world.audio().addProcess(700, true);
    world.audio().addProcess(701, false);
    world.audio().addProcess(world.applications().currentPid(), true);
    start();
    auto lines = fresh();
    EXPECT_EQ(starts(lines), Lines{"com.discord|Discord"});
    EXPECT_TRUE(snapshots(lines).empty());

    world.applications().addApplication({800, "com.skype", "Skype", {}});
    world.audio().addProcess(800, true);
    clock.advanceSeconds(0.75);
    lines = fresh();
    EXPECT_EQ(starts(lines), Lines{"com.skype|Skype"});  // found by the second pass
    EXPECT_EQ(snapshots(lines), (std::vector<Lines>{{"com.discord", "com.skype"}}));

    // Stopping ends the open sessions without stop lines.
    stop();
    lines = fresh();
    EXPECT_TRUE(records(lines, "MIC_APP_STOP_EVENT:").empty());
    EXPECT_TRUE(logChild().terminateRequested());
    clock.advanceSeconds(30);
    EXPECT_TRUE(snapshots(fresh()).empty());
}

TEST_F(MicAppDetectorTest, ReconcilePrunesAfterTwoMissesAndSnapshotsEveryTick) {
    world.applications().addApplication({501, "us.zoom.xos", "zoom.us", {}});
    world.audio().addProcess(501, true);
    world.audio().addProcess(90, true);  // a daemon holding the input
    world.applications().addApplication({90, "com.apple.replayd", "replayd", {}});
    start();
    say("rec", 60, true);  // tracked by its pid only
    clock.advanceSeconds(1);
    fresh();

    // Before each 15 s tick, and what its snapshot lists.
    const std::vector<std::pair<std::function<void()>, std::vector<std::string>>> ticks{
        {[] {}, {"process:rec", "us.zoom.xos"}},  // rec missed once: listed in its grace tick
        {[&] { world.audio().removeProcess(501); }, {"us.zoom.xos"}},  // rec pruned
        {[] {}, {}},                                                   // zoom pruned
        {[] {}, {}},
    };
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        ticks[i].first();
        clock.advanceSeconds(15);
        const auto lines = fresh();
        EXPECT_EQ(snapshots(lines), (std::vector<Lines>{ticks[i].second})) << i;
        EXPECT_TRUE(records(lines, "MIC_APP_STOP_EVENT:").empty());
    }

    // The pruned sessions are gone: their stops say nothing, a start is new.
    say("rec", 60, false);
    EXPECT_TRUE(records(fresh(), "MIC_APP_STOP_EVENT:").empty());
    world.audio().addProcess(501, true);
    say("zoom.us", 501, true);
    EXPECT_EQ(starts(fresh()), Lines{"us.zoom.xos|zoom.us"});
}

TEST_F(MicAppDetectorTest, AFailingLogIsReportedAndRelaunchedUnlessItEndedCleanlyOrNeverRan) {
    world.childProcesses().pushScript(kLogTool, SimChildScript().exit(1, dispatch::seconds(2)));
    world.childProcesses().pushScript(kLogTool, SimChildScript().exit(0, dispatch::seconds(1)));
    start();
    fresh();
    const auto& launch = logChild().spec();  // the unified log, filtered to input changes
    EXPECT_EQ(launch.executable, kLogTool);
    EXPECT_EQ(
        launch.arguments,
        (std::vector<std::string>{"stream", "--predicate",
                                  "(subsystem == 'com.apple.coreaudio' AND category == 'as_server' "
                                  "AND composedMessage CONTAINS 'input_running')",
                                  "--style", "compact"}));
    clock.advanceSeconds(2);
    EXPECT_THAT(records(fresh(), "MIC_APP_ERROR:"),
                ElementsAre(AllOf(HoldsFields(json{{"error", "log stream exited with status 1"}}),
                                  SizeIs(2))));
    clock.advanceSeconds(4.9);
    EXPECT_EQ(world.childProcesses().launches().size(), 1u);
    clock.advanceSeconds(0.1);
    EXPECT_EQ(world.childProcesses().launches().size(), 2u);

    clock.advanceSeconds(10);  // the second run ends with 0: no error, no relaunch
    EXPECT_TRUE(records(fresh(), "MIC_APP_ERROR:").empty());
    EXPECT_EQ(world.childProcesses().launches().size(), 2u);

    // A log that cannot be launched leaves the detector stopped until the
    // next start.
    world.childProcesses().pushScript(
        kLogTool, SimChildScript::failingLaunch({"NSCocoaErrorDomain", 4, "gone"}));
    world.audio().addProcess(501, true);
    stop();
    start();
    EXPECT_THAT(records(fresh(), "MIC_APP_ERROR:"),
                ElementsAre(HoldsFields(json{{"error", "Failed to start log stream: gone"}})));
    clock.advanceSeconds(31);
    EXPECT_TRUE(snapshots(fresh()).empty());
    EXPECT_EQ(world.childProcesses().launches().size(), 3u);
    start();
    EXPECT_EQ(world.childProcesses().launches().size(), 4u);
    EXPECT_TRUE(records(fresh(), "MIC_APP_ERROR:").empty());
}

// Neither the end of a log let go by a stop, nor the restart a failed log
// had scheduled before a stop and a start, adds a log to the one followed.
TEST_F(MicAppDetectorTest, AStopAndAStartLeaveOneLogWhateverTheOldOneDid) {
    start();
    detector->stopMonitoring();
    detector->startMonitoring();  // the first log's exit arrives after this
    clock.settle();
    clock.advanceSeconds(6);
    EXPECT_TRUE(records(fresh(), "MIC_APP_ERROR:").empty());
    EXPECT_EQ(world.childProcesses().launches().size(), 2u);

    world.childProcesses().pushScript(kLogTool, SimChildScript().exit(1, dispatch::seconds(1)));
    stop();
    start();
    clock.advanceSeconds(1);  // this log fails: a restart is due in 5 s
    stop();
    start();
    clock.advanceSeconds(6);
    EXPECT_EQ(world.childProcesses().launches().size(), 4u);
}

// The pure halves of following the log: cutting chunks into lines and
// reading one line.

std::string withJson(const std::string& session, const std::string& details) {
    return "2026-12-06 13:02:11.1 Df coreaudiod[1:2] {\"session\":" + session +
           ",\"details\":" + details + "}";
}

TEST(AudioMxdLine, ReadsOnlyTheDocumentedShape) {
    const std::string on = "{\"input_running\":true}";
    const std::vector<std::pair<std::string, AudioMxdEvent>> read{
        {withJson(R"j({"name":"zoom.us(501)"})j", on), {"zoom.us", 501, true}},
        {withJson(R"j({"name":"Google Chrome He (123)","x":1})j",
                  R"j({"a":[],"input_running":false})j"),
         {"Google Chrome He ", 123, false}},
        {withJson(R"j({"name":"(77)"})j", on), {"", 77, true}},
        {withJson(R"j({"name":"a(2147483647)"})j", on), {"a", 2147483647, true}},
        {withJson(R"j({"name":"a(b)(12)"})j", on), {"a(b)", 12, true}},
    };
    for (const auto& [line, event] : read)
        EXPECT_EQ(parseAudioMxdLog(line), event) << line;
    const std::vector<std::string> rejected{
        withJson(R"j({"name":"zoom(501) "})j", on),
        withJson(R"j({"name":"zoom(5x1)"})j", on),
        withJson(R"j({"name":"zoom(12345678901)"})j", on),
        withJson(R"j({"name":"zoom(2147483648)"})j", on),
        withJson(R"j({"name":"zoom(1)"})j", R"j({"input_running":"true"})j"),
        withJson(R"j({"name":5})j", on),
        withJson(R"j("zoom(1)")j", on),
        R"j(x {"session":{"name":"a(1)","details":{"input_running":true}}})j",
        R"j(free { text {"session":{"name":"a(1)"},"details":{"input_running":true}})j",
        R"j({"session":{"name":"a(1)"},"details":{"input_running":true}} trailing)j",
        "no json here",
    };
    for (const auto& line : rejected)
        EXPECT_EQ(parseAudioMxdLog(line), std::nullopt) << line;
}

struct SplitCase {
    const char* what;
    Lines chunks, lines;
    int invalid = 0, oversized = 0;
};

TEST(LogLineSplitter, CutsLinesAcrossChunksAndCharacters) {
    const std::string big(40, 'x');
    const std::vector<SplitCase> cases{
        {"several per chunk, empties skipped", {"a\n\nb\nc"}, {"a", "b"}},
        {"split inside a line", {"ab", "c\nd", "e\n"}, {"abc", "de"}},
        {"carriage return kept", {"a\r\nb\r", "\n"}, {"a\r", "b\r"}},
        {"character split across reads",
         {"caf\xC3", "\xA9\nn\xE2\x82", "\xAC\n"},
         {"caf\xC3\xA9", "n\xE2\x82\xAC"}},
        {"invalid line dropped alone", {"ok\nbad\xFF\nok2\n"}, {"ok", "ok2"}, 1},
        {"overlong encoding is invalid", {"\xC0\xAF\n"}, {}, 1},
        {"oversized line dropped up to its feed", {big, big + "\nnext\n"}, {"next"}, 0, 1},
        {"line at the cap kept", {std::string(64, 'y') + "\n"}, {std::string(64, 'y')}},
    };
    for (const auto& c : cases) {
        LogLineSplitter splitter(64);
        std::vector<std::string> lines;
        int invalid = 0, oversized = 0;
        const LogLineSplitter::Sink sink{[&](std::string_view line) { lines.emplace_back(line); },
                                         [&] { ++invalid; }, [&] { ++oversized; }};
        for (const auto& chunk : c.chunks)
            splitter.push({reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size()},
                          sink);
        EXPECT_EQ(std::tuple(lines, invalid, oversized),
                  std::tuple(c.lines, c.invalid, c.oversized))
            << c.what;
        EXPECT_LE(splitter.pendingBytes(), 64u) << c.what;
    }
}

}  // namespace
}  // namespace ostrovane::monitoring::testing
