// The helper binary in a headless Wayland session, as a parent sees it: the
// outputs listed without asking anyone, a display filmed through the desktop
// portal and PipeWire and decoded to what is on it, the portal asked once
// per display, every loss reported as an event, and system audio without
// any X display. First, without a compositor, the frame, owner and on-screen
// state each toplevel gets as a window of the target list.
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "platform/wayland/ToplevelWindows.h"
#include "protocol/AudioProtocol.h"
#include "servers/PrivateWaylandSession.h"
#include "servers/SessionProcesses.h"
#include "support/HelperScreenTest.h"
#include "support/ProcessTable.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using platform::Display, platform::OwningApplication, platform::Rect, platform::Window;

// Two outputs side by side: the main one (id 3) first, as displaysOf lists them.
const std::vector<Display> kDisplays{{3, 1280, 720, Rect{0, 0, 1280, 720}},
                                     {7, 800, 600, Rect{1280, 120, 800, 600}}};

const OwningApplication kFoot{"Foot", "foot", 0};

std::optional<OwningApplication> installed(const std::string& appId) {
    return appId == "foot" ? std::optional(kFoot) : std::nullopt;
}

struct ToplevelCase {
    const char* what;
    platform::wayland::WaylandToplevel toplevel;
    bool onScreenOnly;
    std::optional<Window> expected;
};

TEST(ToplevelWindows, FrameOwnerAndVisibility) {
    // clang-format off
    const std::vector<ToplevelCase> cases{
        {"the first output entered frames it", {0x10000, "a", "foot", "", {7, 3}, false}, true,
         Window{0x10000, "a", kDisplays[1].frame, kFoot, true, false}},
        {"an output that is gone is skipped", {0x10001, "b", "foot", "", {9, 3}, false}, true,
         Window{0x10001, "b", kDisplays[0].frame, kFoot, true, false}},
        {"no output told: the main display", {0x10002, "c", "foot", "", {}, false}, true,
         Window{0x10002, "c", kDisplays[0].frame, kFoot, true, false}},
        {"an app_id of no application names it", {0x10003, "d", "tool", "", {3}, false}, true,
         Window{0x10003, "d", kDisplays[0].frame, OwningApplication{"tool", "", 0}, true, false}},
        {"no app_id, no title", {0x10004, "", "", "", {3}, false}, true,
         Window{0x10004, std::nullopt, kDisplays[0].frame, std::nullopt, true, false}},
        {"minimized: left out of on-screen windows", {0x10005, "e", "foot", "", {3}, true}, true,
         std::nullopt},
        {"bytes that are not UTF-8 are replaced", {0x10007, "t\xff", "a\xc3", "", {3}, false},
         true, Window{0x10007, "t\xEF\xBF\xBD", kDisplays[0].frame,
                      OwningApplication{"a\xEF\xBF\xBD", "", 0}, true, false}},
        {"minimized: listed as off screen", {0x10006, "f", "foot", "", {3}, true}, false,
         Window{0x10006, "f", kDisplays[0].frame, kFoot, false, false}},
    };
    // clang-format on
    for (const ToplevelCase& c : cases) {
        const auto windows = platform::wayland::windowsOf({c.toplevel}, kDisplays, installed,
                                                          {false, c.onScreenOnly});
        ASSERT_EQ(windows.size(), c.expected ? 1u : 0u) << c.what;
        EXPECT_EQ(windows.empty() ? std::nullopt : std::optional(windows[0]), c.expected) << c.what;
    }
}

constexpr std::uint32_t kOrange = 0xFF8000, kTeal = 0x008080;
using Place = std::tuple<int, int, int, int>;  // x, y, width, height

Place placeOf(const nlohmann::json& record) {
    return Place(record.value("x", -1), record.value("y", -1), record.value("width", -1),
                 record.value("height", -1));
}

class WaylandHelper : public HelperScreenTest {
  protected:
    void SetUp() override { start({}); }

    void start(PrivateWaylandSession::Options options) {
        session = std::make_unique<PrivateWaylandSession>(options);
        std::string failure;
        ASSERT_TRUE(session->ready(failure)) << failure;
        ASSERT_TRUE(session->sway(
            {"output", PrivateWaylandSession::kOutput, "bg", "#ff8000", "solid_color"}));
        session->startMovingContent();
        helper = std::make_unique<HelperProcess>(
            OSTROVANE_BINARY,
            HelperProcess::Context{session->environment(), session->uid(), session->gid()});
    }

    // The display records of the target list.
    std::vector<nlohmann::json> displays() {
        std::vector<nlohmann::json> out;
        for (const auto& item : listWindows())
            if (item.value("type", "") == "display")
                out.push_back(item);
        return out;
    }

    // The window records of the target list by title, and the whole list
    // for failure messages; the display's thumbnail in `displayThumbnail`.
    std::map<std::string, nlohmann::json> windows(std::string& listed) {
        displayThumbnail.reset();
        const nlohmann::json targets = listWindows();
        listed = targets.dump().substr(0, 1500);
        std::map<std::string, nlohmann::json> out;
        for (const auto& item : targets) {
            if (item.value("type", "") == "window")
                out[item.value("name", "")] = item;
            else if (const std::string t = item.value("thumbnail", ""); t.size() > 22)
                displayThumbnail = decodePng(t.substr(22));  // after "data:image/png;base64,"
        }
        return out;
    }

    std::unique_ptr<PrivateWaylandSession> session;
    std::optional<Picture> displayThumbnail;  // of the last listing
};

// Every start sends the stored grant and keeps what the portal returns; a
// still screen sends the helper nothing, and the stream goes on at its rate.
TEST_F(WaylandHelper, VideoOfAnOutputShowsItAndKeepsItsRateWhenTheScreenIsStill) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer: the cast sends a slowed consumer no last still image";
#endif
    const std::uint64_t display = displayId();
    const auto askedWithGrant = [&](std::size_t from) {
        return helper->errors()
            .waitForLine(
                "WaylandScreenCapture: asking the desktop portal for display HEADLESS-1 with its "
                "stored grant",
                from, 100ms)
            .has_value();
    };
    const auto filmBriefly = [&] {
        const std::size_t from = helper->errors().lines().size();
        EXPECT_EQ(startVideo("display", display), "started");
        EXPECT_TRUE(waitForVideoFrames(videoFrames().size() + 2));
        EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
        return askedWithGrant(from);
    };
    EXPECT_EQ(startVideo("display", display, 1920, 1080), "started");
    ASSERT_TRUE(waitForVideoFrames(15));
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
    EXPECT_FALSE(askedWithGrant(0));
    auto first = decodeVideo(0, false);
    auto moving = decodeVideo(0, true);
    ASSERT_TRUE(first && moving);
    // Half the display's size, its paint in the middle.
    EXPECT_EQ(std::tie(first->width, first->height), std::make_tuple(640, 360));
    EXPECT_TRUE(nearColour(first->at(320, 200), kOrange)) << std::hex << first->at(320, 200);
    // The terminal in the corner prints the time: its pixels change.
    bool changed = false;
    for (int y = 0; y < 50 && !changed; ++y)
        for (int x = 0; x < 150 && !changed; ++x)
            changed = first->at(x, y) != moving->at(x, y);
    EXPECT_TRUE(changed);

    const std::string granted = readProcessFile(session->tokenFile());
    ASSERT_NE(granted.find("display:HEADLESS-1"), std::string::npos) << granted;
    EXPECT_TRUE(filmBriefly());
    // A token the portal no longer knows is sent, and replaced by the new grant.
    std::ofstream(session->tokenFile()) << "display:HEADLESS-1\tspent-token\n";
    EXPECT_TRUE(filmBriefly());
    const std::string renewed = readProcessFile(session->tokenFile());
    EXPECT_NE(renewed.find("display:HEADLESS-1"), std::string::npos);
    EXPECT_EQ(renewed.find("spent-token"), std::string::npos) << renewed;

    const std::size_t from = helper->outputBytes().size();
    EXPECT_EQ(startVideo("display", display, 1920, 1080), "started");
    ASSERT_TRUE(waitForVideoFrames(2, from));
    ASSERT_TRUE(session->sway({"[app_id=\"foot\"]", "kill"}));
    ASSERT_TRUE(
        session->sway({"output", PrivateWaylandSession::kOutput, "bg", "#008080", "solid_color"}));
    // The compositor's last image (teal) reaches the video, however late a
    // loaded machine lets it come; from then on nothing new comes.
    std::optional<Picture> last;
    const bool shown = waitUntil(
        [&] {
            last = decodeVideo(from, true);
            // Also where the killed terminal was: damage that missed a part
            // would leave it there.
            return last && nearColour(last->at(320, 200), kTeal) &&
                   nearColour(last->at(60, 25), kTeal);
        },
        15s, 200ms);
    // A screenshot of a filmed display is its stream's last grab: it tells
    // whether the compositor's image reached the helper at all.
    const auto grabbed =
        shown ? std::nullopt : decodePng(ask("SCREENSHOT", "CMD_RESPONSE:SCREENSHOT_DATA:"));
    EXPECT_TRUE(shown) << std::hex << "video " << (last ? last->at(320, 200) : 0) << ", last grab "
                       << (grabbed ? grabbed->at(320, 200) : 0);
    // Still now: its last picture again about once a second, not at the rate.
    const std::size_t still = videoFrames(from).size();
    EXPECT_TRUE(waitForVideoFrames(still + 2, from, 3500ms)) << "frames stopped on a still screen";
    EXPECT_LE(videoFrames(from).size(), still + 4) << "a still screen is sent at the frame rate";
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
}

// The target list names each output with its place; a switch films the
// other one, and the user's pick is filmed as granted.
TEST_F(WaylandHelper, ASwitchFilmsTheOtherOutputAndTheUsersPickIsFilmedAsGranted) {
    const auto first = displays();
    ASSERT_EQ(first.size(), 1u) << listWindows().dump().substr(0, 300);
    EXPECT_EQ(first[0].value("name", "").rfind("HEADLESS-1", 0), 0u) << first[0].dump();
    EXPECT_EQ(placeOf(first[0]), Place(0, 0, 1280, 720));
    ASSERT_TRUE(session->sway({"create_output"}));
    ASSERT_TRUE(session->sway({"output", "HEADLESS-2", "resolution", "800x600", "position", "1280",
                               "0", "bg", "#008080", "solid_color"}));
    const auto both = displays();
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[1].value("name", "").rfind("HEADLESS-2", 0), 0u) << both[1].dump();
    EXPECT_EQ(placeOf(both[1]), Place(1280, 0, 800, 600));
    const std::uint64_t second = both[1].value("id", std::uint64_t{0});
    EXPECT_EQ(startVideo("display", displayId()), "started");
    ASSERT_TRUE(waitForVideoFrames(2));

    // The moving terminal goes along, so that the new output sends frames.
    ASSERT_TRUE(
        session->sway({"[app_id=\"foot\"]", "move", "container", "to", "output", "HEADLESS-2"}));
    // Listed at its new place: framed by the output it moved to.
    std::string listed;
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto moved = windows(listed);
            const auto it = moved.find("ostrovane-moving-content");
            return it != moved.end() && placeOf(it->second) == Place(1280, 0, 800, 600);
        },
        5s, 100ms))
        << listed;
    ASSERT_TRUE(session->pickOutput("HEADLESS-2"));
    EXPECT_EQ(ask("SWITCH_VIDEO:{\"type\":\"display\",\"id\":" + std::to_string(second) + "}",
                  "CMD_RESPONSE:SWITCH_VIDEO:"),
              "switched");
    const std::size_t from = helper->outputBytes().size();
    ASSERT_TRUE(waitForVideoFrames(3, from));
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
    auto switched = decodeVideo(0, true);
    ASSERT_TRUE(switched);
    EXPECT_TRUE(nearColour(switched->at(250, 200), kTeal)) << std::hex << switched->at(250, 200);

    // Asked for the first output anew, the user grants the second: that is filmed.
    fs::remove(session->tokenFile());
    const std::size_t lines = helper->errors().lines().size();
    EXPECT_EQ(startVideo("display", displayId()), "started");
    EXPECT_TRUE(helper->errors().waitForLineMatching(
        [](const std::string& line) {
            return line.find("filming what the user granted") != std::string::npos;
        },
        lines));
}

// A capture that loses its portal or its compositor ends with an event; the
// helper stays and keeps answering, and the session still ends cleanly.
struct LossCase {
    const char* name;
    void (PrivateWaylandSession::*kill)();
    const char* cause;  // in the event's text
    friend void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }
};
class WaylandHelperLoss : public WaylandHelper, public ::testing::WithParamInterface<LossCase> {};

TEST_P(WaylandHelperLoss, ACaptureThatLosesItsSourceEndsWithAnEvent) {
    EXPECT_EQ(startVideo("display", displayId()), "started");
    ASSERT_TRUE(waitForVideoFrames(2));
    const std::size_t from = helper->errors().lines().size();
    (session.get()->*GetParam().kill)();
    const auto event = helper->errors().waitForLineMatching(
        [](const std::string& line) { return line.rfind("EVENT:VIDEO_STREAM_ERROR:", 0) == 0; },
        from);
    ASSERT_TRUE(event);
    const std::string line = helper->errors().lines()[*event];
    EXPECT_NE(line.find(GetParam().cause), std::string::npos) << line;
    EXPECT_NE(ask("HEALTH_CHECK", "CMD_RESPONSE:HEALTH_OK:"), "");
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
    EXPECT_TRUE(helper->isRunning());

    // The session leaves behind no process it, the bus or sway started
    // (what a killed compositor started is handed on), and no directory.
    helper.reset();
    const std::string directory = session->directory();
    // Each by pid and start time: a pid reused meanwhile is another process.
    std::vector<ProcessIdentity> started;
    for (const pid_t pid : processesWithEnvironment(directory))
        if (auto identity = identityOf(pid))
            started.push_back(*identity);
    session.reset();
    EXPECT_GE(started.size(), 4u);  // bus, PipeWire, its session manager, portal
    EXPECT_FALSE(fs::exists(directory));
    for (const ProcessIdentity& process : started)
        EXPECT_FALSE(process.running()) << process.pid << " is left";
}

INSTANTIATE_TEST_SUITE_P(
    Sources, WaylandHelperLoss,
    ::testing::Values(LossCase{"PortalBackendKilled", &PrivateWaylandSession::killPortalBackend,
                               "its node"},
                      LossCase{"CompositorKilled", &PrivateWaylandSession::killCompositor,
                               "compositor was lost"}),
    [](const auto& info) { return std::string(info.param.name); });

// Stills without a dialog nobody asked for: a thumbnail needs a stored
// grant, a screenshot may ask, and a filmed display answers from its stream;
// an output gone still is filmed without waiting for a change (wlroots'
// casts send nothing until something changes).
// The windows are listed under their titles, owned by the application their
// desktop entry names, with an id that stays while the window lives; and
// filmed only where the portal offers windows, which the rig's does not.
TEST_F(WaylandHelper, StillsAndWindowsAreListedAndAThumbnailNeverAsksTheUser) {
    const auto portalRequests = [&] {
        std::size_t count = 0;
        for (const auto& line : helper->errors().lines())
            count += line.find("asking the desktop portal for display") != std::string::npos;
        return count;
    };
    const auto screenshot = [&] {
        return decodePng(ask("SCREENSHOT", "CMD_RESPONSE:SCREENSHOT_DATA:"));
    };

    // Not granted yet: the record goes out without a thumbnail, at once.
    std::string listed;
    const auto begun = std::chrono::steady_clock::now();
    windows(listed);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 5s) << "the list waited for a dialog";
    EXPECT_FALSE(displayThumbnail) << listed;
    EXPECT_EQ(portalRequests(), 0u);

    // A screenshot may ask; it shows the whole output at its size.
    auto shot = screenshot();
    ASSERT_TRUE(shot);
    EXPECT_EQ(std::tie(shot->width, shot->height), std::make_tuple(1280, 720));
    EXPECT_TRUE(nearColour(shot->at(900, 500), kOrange)) << std::hex << shot->at(900, 500);

    // Granted now: the thumbnail comes with the stored grant.
    windows(listed);
    ASSERT_TRUE(displayThumbnail) << listed;
    EXPECT_EQ(std::tie(displayThumbnail->width, displayThumbnail->height),
              std::make_tuple(240, 135));
    EXPECT_TRUE(nearColour(displayThumbnail->at(170, 100), kOrange))
        << std::hex << displayThumbnail->at(170, 100);

    // A second terminal beside the fixture's, which prints the time.
    const std::string left = "ostrovane-left", right = "ostrovane-moving-content";
    ASSERT_TRUE(session->openTerminal(left));
    const auto first = windows(listed);
    ASSERT_EQ(first.size(), 2u) << listed;
    for (const std::string& title : {left, right}) {
        ASSERT_EQ(first.count(title), 1u) << listed;
        const nlohmann::json& record = first.at(title);
        EXPECT_NE(record.value("id", std::uint64_t{0}), 0u) << listed;
        EXPECT_NE(record.value("id", std::uint64_t{0}), displayId()) << listed;
        // Debian's foot installs foot.desktop, Name=Foot; foot's app_id is "foot".
        // Framed by the output they show on.
        EXPECT_EQ(std::make_tuple(record.value("appName", ""), record.value("bundleId", ""),
                                  placeOf(record)),
                  std::make_tuple("Foot", "foot", Place(0, 0, 1280, 720)))
            << listed;
    }
    // Window thumbnails would need the portal's picker: none.
    EXPECT_FALSE(first.at(left).contains("thumbnail")) << listed;
    const auto leftId = first.at(left).value("id", std::uint64_t{0});
    const auto rightId = first.at(right).value("id", std::uint64_t{0});
    EXPECT_NE(leftId, rightId);
    const auto again = windows(listed);
    ASSERT_EQ(again.size(), 2u) << listed;
    EXPECT_EQ(again.at(left).value("id", std::uint64_t{0}), leftId);
    EXPECT_EQ(again.at(right).value("id", std::uint64_t{0}), rightId);
    ASSERT_TRUE(session->closeWindow(left));
    const auto after = windows(listed);
    EXPECT_EQ(after.count(left), 0u) << listed;
    ASSERT_EQ(after.count(right), 1u) << listed;
    EXPECT_EQ(after.at(right).value("id", std::uint64_t{0}), rightId);
    // This portal offers monitors only: a window cannot be filmed.
    const std::string refused = startVideo("window", rightId);
    EXPECT_EQ(refused.rfind("error:", 0), 0u) << refused;
    EXPECT_NE(refused.find("The desktop portal offers no window capture"), std::string::npos)
        << refused;

    // A filmed display answers from its stream, without asking the portal.
    EXPECT_EQ(startVideo("display", displayId()), "started");
    ASSERT_TRUE(waitForVideoFrames(2));
    const std::size_t asked = portalRequests();
    ASSERT_TRUE(
        session->sway({"output", PrivateWaylandSession::kOutput, "bg", "#008080", "solid_color"}));
    std::optional<Picture> filmed;
    EXPECT_TRUE(waitUntil(
        [&] {
            filmed = screenshot();
            return filmed && nearColour(filmed->at(900, 500), kTeal);
        },
        5s))
        << std::hex << (filmed ? filmed->at(900, 500) : 0);
    ASSERT_TRUE(filmed);
    EXPECT_EQ(std::tie(filmed->width, filmed->height), std::make_tuple(1280, 720));
    EXPECT_EQ(portalRequests(), asked);
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");

    // Nothing moves any more: the cast of a thumbnail gets no image, and the
    // display is shown as last seen.
    ASSERT_TRUE(session->sway({"[app_id=\"foot\"]", "kill"}));
    ASSERT_TRUE(waitUntil([&] { return windows(listed).empty(); }, 5s)) << listed;
    ASSERT_TRUE(displayThumbnail) << listed;
    EXPECT_TRUE(nearColour(displayThumbnail->at(170, 100), kTeal))
        << std::hex << displayThumbnail->at(170, 100);

    // Nor does a video of it: the compositor's copy of the still output is
    // its first frame, at once; the stream is not taken for a silent one,
    // and goes on at a frame a second.
    const std::size_t still = helper->outputBytes().size(), lines = helper->errors().lines().size();
    EXPECT_EQ(startVideo("display", displayId()), "started");
    ASSERT_TRUE(waitForVideoFrames(1, still, 2s));
    const auto opening = decodeVideo(still, false);
    ASSERT_TRUE(opening);
    EXPECT_TRUE(nearColour(opening->at(320, 200), kTeal)) << std::hex << opening->at(320, 200);
    EXPECT_TRUE(waitForVideoFrames(7, still, 10s)) << "a still stream stopped";
    for (std::size_t i = lines; i < helper->errors().lines().size(); ++i)
        EXPECT_EQ(helper->errors().lines()[i].find("VIDEO_STREAM_ERROR"), std::string::npos);
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
    shot = screenshot();
    ASSERT_TRUE(shot);
    EXPECT_TRUE(nearColour(shot->at(900, 500), kTeal)) << std::hex << shot->at(900, 500);

    // Where the compositor copies nothing, the still output's cast sends no
    // image with the stored grant: a thumbnail gives up after its own short
    // bound, so that a listing is not held up, and a still after its longer.
    const std::string display = std::to_string(displayId());
    helper.reset();
    HelperProcess stills(
        OSTROVANE_WAYLAND_STILLS,
        HelperProcess::Context{session->environment(), session->uid(), session->gid()});
    ASSERT_EQ(stills.waitForExit(20s), 0);
    const std::vector<std::uint8_t> out = stills.outputBytes();
    EXPECT_EQ(std::string(out.begin(), out.end()),
              "thumbnail " + display + ": Display " + PrivateWaylandSession::kOutput +
                  " sent no image within 250 ms\nstill " + display + ": Display " +
                  PrivateWaylandSession::kOutput + " sent no image within 2000 ms\n")
        << testing::PrintToString(stills.errors().lines());
}

// Without a portal, a start answers that it is missing; system audio needs
// neither the portal nor an X display.
class WaylandHelperWithoutPortal : public WaylandHelper {
  protected:
    void SetUp() override { start({.portal = false, .pulse = true}); }
};

TEST_F(WaylandHelperWithoutPortal, AStartAnswersThatThePortalIsMissingAndSystemAudioStreams) {
    const std::string answer = startVideo("display", displayId());
    EXPECT_TRUE(std::regex_search(answer, std::regex("^error:.*portal is not available")))
        << answer;
    EXPECT_NE(ask("HEALTH_CHECK", "CMD_RESPONSE:HEALTH_OK:"), "");

    EXPECT_EQ(ask("START_STREAMING", "CMD_RESPONSE:STREAMING:"), "started");
    const auto systemFrames = [&] {
        protocol::FrameReader reader;
        reader.feed(helper->outputBytes());
        std::size_t count = 0;
        for (protocol::Frame frame; reader.next(frame) == protocol::ReadStatus::frame;)
            count += frame.type == protocol::AudioProtocol::FrameType::system ? 1 : 0;
        return count;
    };
    EXPECT_TRUE(waitUntil([&] { return systemFrames() >= 10; }, 10s, 50ms));
    EXPECT_EQ(ask("STOP_STREAMING", "CMD_RESPONSE:STREAMING:"), "stopped");
}

}  // namespace
}  // namespace ostrovane::test
