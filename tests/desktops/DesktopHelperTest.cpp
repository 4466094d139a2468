// The helper binary in private GNOME and KDE Plasma sessions, as a parent
// sees it: displays listed and filmed through the desktop's own portal, its
// dialog answered by a scripted user, grants kept with what the user granted,
// the window picked in the dialog, a portal backend that starts again, and
// how each way a share ends is reported. The cases of one desktop share its
// session where they can.
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include "servers/PrivateDesktopSession.h"
#include "support/HelperScreenTest.h"
#include "support/ProcessTable.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Desktop = PrivateDesktopSession::Desktop;

constexpr std::uint32_t kRed = 0xCC3333, kGreen = 0x33CC33;
constexpr std::uint64_t kPickedWindow = 65535;
constexpr const char* kStartAnswer = "CMD_RESPONSE:START_VIDEO:";

struct DesktopCase {
    const char* name;
    Desktop desktop;
    friend void PrintTo(const DesktopCase& c, std::ostream* os) { *os << c.name; }
};

class DesktopHelper : public HelperScreenTest, public ::testing::WithParamInterface<DesktopCase> {
  protected:
    static void TearDownTestSuite() { sessions().clear(); }

    void TearDown() override {
        if (HasFailure() && desktop)
            ADD_FAILURE() << "the desktop's user:\n" << desktop->logTail("user");
        HelperScreenTest::TearDown();
        helper.reset();
        if (desktop) {
            desktop->closeWindows();
            desktop->shareMonitor(0);
        }
    }

    // The desktop's shared session with `options`, started again when a case
    // before ended it or ran with other options; then the helper in it.
    void start(PrivateDesktopSession::Options options = {}) {
        auto& shared = sessions()[GetParam().desktop];
        std::string failure;
        if (!shared || shared->options().monitors != options.monitors ||
            shared->options().castShim != options.castShim || !shared->ready(failure)) {
            shared.reset();
            shared = std::make_unique<PrivateDesktopSession>(GetParam().desktop, options);
        }
        desktop = shared.get();
        ASSERT_TRUE(desktop->ready(failure)) << failure;
        helper = std::make_unique<HelperProcess>(
            OSTROVANE_BINARY,
            HelperProcess::Context{desktop->environment(), desktop->uid(), desktop->gid()});
    }

    // Ends the shared session (a case killed part of it).
    void retire() {
        helper.reset();
        desktop = nullptr;
        sessions().erase(GetParam().desktop);
    }

    // The records of the target list of `type`.
    std::vector<nlohmann::json> listed(const std::string& type = "display") {
        std::vector<nlohmann::json> found;
        for (const auto& item : listWindows())
            if (item.value("type", "") == type)
                found.push_back(item);
        return found;
    }

    // START_VIDEO of a target: the answer, once the first frame is in.
    std::string film(const std::string& type, std::uint64_t id, int width = 1920,
                     int height = 1080) {
        from = helper->outputBytes().size();
        const std::size_t lines = helper->errors().lines().size();
        // The user may take a while: the helper waits for the dialog up to 25 s.
        helper->sendLine("START_VIDEO:{\"type\":\"" + type + "\",\"id\":" + std::to_string(id) +
                         ",\"width\":" + std::to_string(width) +
                         ",\"height\":" + std::to_string(height) + "}");
        const auto at = helper->errors().waitForLineMatching(
            [](const std::string& line) { return line.rfind(kStartAnswer, 0) == 0; }, lines, 30s);
        const std::string answer =
            at ? helper->errors().lines()[*at].substr(std::strlen(kStartAnswer)) : "";
        return answer == "started" && !waitForVideoFrames(1, from) ? "started, no frame" : answer;
    }

    // The newest picture of the capture once a few frames are in.
    std::optional<Picture> filmed() {
        if (!waitForVideoFrames(videoFrames(from).size() + 3, from))
            return std::nullopt;
        return decodeVideo(from, true);
    }

    void stop() { EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped"); }

    std::optional<std::string> streamError(std::size_t lines,
                                           std::chrono::milliseconds limit = 10s) {
        const auto at = helper->errors().waitForLineMatching(
            [](const std::string& line) { return line.rfind("EVENT:VIDEO_STREAM_ERROR:", 0) == 0; },
            lines, limit);
        return at ? std::optional(helper->errors().lines()[*at]) : std::nullopt;
    }

    // A filmed display whose share `end` ends: the event says `cause`, and
    // the helper answers on.
    void endShare(const std::function<void()>& end, const std::string& cause) {
        start();
        ASSERT_TRUE(desktop->showWindow("cc3333"));
        ASSERT_EQ(film("display", displayId()), "started");
        const std::size_t lines = helper->errors().lines().size();
        end();
        const auto event = streamError(lines);
        ASSERT_TRUE(event);
        EXPECT_NE(event->find(cause), std::string::npos) << *event;
        EXPECT_NE(ask("HEALTH_CHECK", "CMD_RESPONSE:HEALTH_OK:"), "");
        stop();
    }

    // How many of the helper's lines from line `from` on begin with `prefix`.
    std::size_t count(std::size_t from, const std::string& prefix) {
        const auto all = helper->errors().lines();
        std::size_t found = 0;
        for (std::size_t i = from; i < all.size(); ++i)
            found += all[i].rfind(prefix, 0) == 0;
        return found;
    }

    static std::map<Desktop, std::unique_ptr<PrivateDesktopSession>>& sessions() {
        static std::map<Desktop, std::unique_ptr<PrivateDesktopSession>> shared;
        return shared;
    }

    PrivateDesktopSession* desktop = nullptr;
    std::size_t from = 0;  // where the capture's frames begin in the output
};

// The monitors are listed without a dialog; the first start shows one, and
// the grant it leaves spares it the next times.
TEST_P(DesktopHelper, ADisplayIsFilmedInItsColourAndItsGrantSparesTheNextDialog) {
    start();
    ASSERT_TRUE(desktop->showWindow("cc3333"));
    const auto displays = listed();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(std::make_tuple(displays[0].value("x", -1), displays[0].value("y", -1),
                              displays[0].value("width", -1), displays[0].value("height", -1)),
              std::make_tuple(0, 0, 1280, 720))
        << displays[0].dump();
    const std::uint64_t display = displays[0].value("id", std::uint64_t{0});
    fs::remove(desktop->tokenFile());

    const std::size_t dialogs = desktop->dialogsShown();
    EXPECT_EQ(film("display", display), "started");
    EXPECT_EQ(desktop->dialogsShown(), dialogs + 1);
    const auto picture = filmed();
    ASSERT_TRUE(picture);
    EXPECT_EQ(std::tie(picture->width, picture->height), std::make_tuple(640, 360));
    EXPECT_TRUE(nearColour(picture->at(320, 180), kRed)) << std::hex << picture->at(320, 180);
    stop();

    // The stored grant spares the dialog, also to a start that meets a
    // backend the bus is starting again, which answers once.
    for (const bool restarted : {false, true}) {
        if (restarted)
            desktop->killPortalBackend();
        const std::size_t lines = helper->errors().lines().size();
        EXPECT_EQ(film("display", display), "started");
        EXPECT_EQ(count(lines, kStartAnswer), 1u);
        EXPECT_EQ(desktop->dialogsShown(), dialogs + 1) << "the stored grant was not used";
        const auto regranted = filmed();
        ASSERT_TRUE(regranted);
        EXPECT_TRUE(nearColour(regranted->at(320, 180), kRed))
            << std::hex << regranted->at(320, 180);
        stop();
    }
}

// Neither desktop lists its windows: one record stands for the window the
// user picks in the dialog, and the grant keeps that window.
TEST_P(DesktopHelper, TheWindowPickedInTheDialogIsFilmedAndKeptForTheNextStart) {
    start();
    ASSERT_TRUE(desktop->showWindow("33cc33", true, "ostrovane-picked"));
    const auto windows = listed("window");
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].value("id", std::uint64_t{0}), kPickedWindow) << windows[0].dump();
    EXPECT_EQ(windows[0].value("name", ""), "A window chosen in the desktop's dialog");
    EXPECT_FALSE(windows[0].contains("thumbnail"));

    ASSERT_TRUE(desktop->shareWindow(0));
    const std::size_t dialogs = desktop->dialogsShown();
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(film("window", kPickedWindow, 640, 360), "started");
        const auto picture = filmed();
        ASSERT_TRUE(picture);
        EXPECT_TRUE(nearColour(picture->at(picture->width / 2, picture->height / 3), kGreen))
            << std::hex << picture->at(picture->width / 2, picture->height / 3);
        stop();
        EXPECT_EQ(desktop->dialogsShown(), dialogs + 1) << "round " << round;
    }
}

// The user ends the share from the desktop's own control: the user's stop,
// as its message tells a parent.
TEST_P(DesktopHelper, EndingTheShareFromTheDesktopIsReportedAsTheUsersStop) {
    endShare([&] { ASSERT_TRUE(desktop->stopSharing()); }, "closed by the user or the desktop");
}

// A killed compositor ends the capture with its own cause, and the session
// still leaves no process and no directory behind.
TEST_P(DesktopHelper, AKilledCompositorIsReportedAndTheSessionLeavesNothingBehind) {
    endShare([&] { desktop->killCompositor(); }, "connection to the Wayland compositor was lost");
    if (HasFatalFailure())
        return;
    helper.reset();
    const std::string directory = desktop->directory();
    const auto processes = desktop->processes();
    EXPECT_GE(processes.size(), 5u);
    retire();
    EXPECT_FALSE(fs::exists(directory));
    for (const auto& process : processes)
        EXPECT_FALSE(process.running()) << process.pid << " is left";
}

// The user grants another monitor than the one asked for: the video shows
// the user's pick, and the grant is kept under the display it shows (GNOME)
// or not at all when it shows none (KDE's whole workspace).
TEST_P(DesktopHelper, AnotherMonitorPickedInTheDialogIsFilmedAndItsGrantFollowsIt) {
    start({.monitors = 2});
    ASSERT_TRUE(desktop->showWindow("cc3333"));
    const auto displays = listed();
    ASSERT_EQ(displays.size(), 2u);
    const bool gnome = GetParam().desktop == Desktop::gnome;
    const std::uint64_t first = displays[0].value("id", std::uint64_t{0});
    const std::uint64_t asked = displays[gnome ? 1 : 0].value("id", std::uint64_t{0});
    fs::remove(desktop->tokenFile());
    ASSERT_TRUE(gnome ? desktop->shareMonitor(0) : desktop->shareWorkspace());

    const std::size_t dialogs = desktop->dialogsShown();
    EXPECT_EQ(film("display", asked), "started");
    const auto picture = filmed();
    ASSERT_TRUE(picture);
    // GNOME: the first monitor; KDE: both side by side.
    const int x = gnome ? picture->width / 2 : picture->width / 4;
    EXPECT_TRUE(nearColour(picture->at(x, picture->height / 2), kRed))
        << std::hex << picture->at(x, picture->height / 2);
    stop();
    if (gnome) {
        EXPECT_EQ(film("display", first), "started");
        EXPECT_EQ(desktop->dialogsShown(), dialogs + 1) << "the picked display asked again";
        stop();
    }
    ASSERT_TRUE(desktop->deny());
    EXPECT_EQ(film("display", asked).rfind("error:", 0), 0u);
    EXPECT_EQ(desktop->dialogsShown(), dialogs + 2) << "the asked-for display kept a grant";
}

const DesktopCase kDesktops[] = {{"Gnome", Desktop::gnome}, {"Kde", Desktop::kde}};
INSTANTIATE_TEST_SUITE_P(Desktops, DesktopHelper, ::testing::ValuesIn(kDesktops),
                         [](const auto& info) { return std::string(info.param.name); });

// KWin's virtual outputs without the test library negotiate a cast and never
// send it a buffer: the helper says so soon after it started.
using DesktopSilentStream = DesktopHelper;

TEST_P(DesktopSilentStream, AStreamThatSendsNoImageIsReportedOnce) {
    start({.castShim = false});
    ASSERT_TRUE(desktop->showWindow("cc3333"));
    const std::size_t lines = helper->errors().lines().size();
    EXPECT_EQ(startVideo("display", displayId()), "started");
    const auto event = streamError(lines, 8s);
    ASSERT_TRUE(event);
    EXPECT_NE(event->find("sent no image"), std::string::npos) << *event;
    EXPECT_NE(ask("HEALTH_CHECK", "CMD_RESPONSE:HEALTH_OK:"), "");
    EXPECT_EQ(count(lines, "EVENT:VIDEO_STREAM_ERROR:"), 1u);
    stop();
}

INSTANTIATE_TEST_SUITE_P(Desktops, DesktopSilentStream,
                         ::testing::Values(DesktopCase{"Kde", Desktop::kde}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrovane::test
