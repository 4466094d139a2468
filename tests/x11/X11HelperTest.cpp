// The helper binary on a private Xvfb, as a parent sees it: the window list,
// screenshots and H.264 video of real X windows decode to what is on the
// screen, and a capture that loses its window or its server ends with an
// event while the helper keeps answering. No sound server is running.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <tuple>

#include "support/HelperScreenTest.h"
#include "support/PrivateXServer.h"
#include "x11/TestWindows.h"

namespace ostrovane::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kOrange = 0xFF8000;

class X11Helper : public HelperScreenTest {
  protected:
    explicit X11Helper(const std::string& screen = "1920x1080x24",
                       const std::vector<std::string>& serverArguments = {})
        : x(serverArguments, screen) {}

    void SetUp() override {
        if (!fs::exists(kFfprobe) || !fs::exists(kFfmpeg))
            GTEST_SKIP()
                << "ffprobe/ffmpeg not installed (scripts/install-deps.sh installs ffmpeg)";
        ASSERT_TRUE(x.ready()) << "Xvfb could not be started";
        windows = std::make_unique<TestWindows>(x.name());
        ASSERT_TRUE(windows->connected());
        red = windows->map({.at = {100, 100, 400, 300},
                            .rgb = kRed,
                            .title = "Red Notes",
                            .pid = std::uint32_t(::getpid())});
        // Green covers the middle of red: what the helper shows of red is red's own
        // content, not the screen.
        green = windows->map(
            {.at = {250, 150, 400, 300}, .rgb = kGreen, .title = "Grün", .utf8Title = true});
        // Left out of the list: too small, untitled, not mapped.
        windows->map({.at = {1300, 100, 80, 80}, .title = "Tiny"});
        windows->map({.at = {1300, 400, 300, 300}});
        windows->map({.at = {0, 0, 300, 300}, .title = "Hidden", .mapped = false});
        ::setenv("DISPLAY", x.name().c_str(), 1);
        ::unsetenv("WAYLAND_DISPLAY");
        // An address where no sound server answers: the screen needs none.
        ::setenv("PULSE_SERVER", ("unix:" + file("pulse").string()).c_str(), 1);
        helper = std::make_unique<HelperProcess>(OSTROVANE_BINARY);
    }

    PrivateXServer x;
    std::unique_ptr<TestWindows> windows;
    xcb_window_t red = 0, green = 0;
};

// Which windows a window manager's client list admits is the provider's own
// test; here the list a parent gets of the windows found without one.
TEST_F(X11Helper, ListWindowsNamesTheTitledOnScreenWindowsWithThumbnails) {
    // A client that paints itself, under a window that covers its middle:
    // its thumbnail waits for its repaint of what the cover hid.
    const auto painter = windows->map(
        {.at = {700, 500, 300, 200}, .rgb = kOrange, .title = "Painter", .paintsItself = true});
    windows->map({.at = {750, 550, 200, 100}, .rgb = 0x0000FF});
    using Entry = std::tuple<std::string, std::uint64_t, std::string, int, int, int, int>;
    std::set<Entry> listed;
    for (const auto& item : listWindows()) {
        const std::string thumbnail = item.value("thumbnail", "");
        const std::string prefix = "data:image/png;base64,";
        ASSERT_EQ(thumbnail.rfind(prefix, 0), 0u) << item.dump().substr(0, 200);
        auto picture = decodePng(thumbnail.substr(prefix.size()));
        ASSERT_TRUE(picture) << "thumbnail of " << item.value("name", "") << " does not decode";
        EXPECT_LE(picture->width, 240);
        const bool display = item.value("type", "") == "display";
        const auto id = item.value("id", std::uint64_t{0});
        EXPECT_NE(id, 0u);
        // Thumbnails of windows show the window's own colour.
        const std::uint32_t own = id == red ? kRed : id == green ? kGreen : kOrange;
        EXPECT_TRUE(display ||
                    nearColour(picture->at(picture->width / 2, picture->height / 2), own))
            << item.value("name", "");
        listed.insert({item.value("type", ""), display ? 0 : id, item.value("name", ""),
                       item.value("x", -1), item.value("y", -1), item.value("width", -1),
                       item.value("height", -1)});
    }
    // Xvfb marks no output primary: the screen at the origin is the main one.
    EXPECT_EQ(listed, (std::set<Entry>{
                          {"display", 0, "screen  (1920\u00d71080, Primary)", 0, 0, 1920, 1080},
                          {"window", red, "Red Notes", 100, 100, 400, 300},
                          {"window", green, "Grün", 250, 150, 400, 300},
                          {"window", painter, "Painter", 700, 500, 300, 200}}));
}

// A server that stops for a while (a debugger, a suspended machine) is not
// answering, not gone: the helper answers meanwhile, and serves the screens
// again once the server resumes, whether it stopped before the helper
// started, during a listing or during a capture, which ends naming the stall.
TEST_F(X11Helper, AStoppedServerIsServedAgainOnceItResumes) {
    const auto windowsListed = [&] {
        const auto list = listWindows();
        return std::count_if(list.begin(), list.end(),
                             [](const auto& item) { return item.value("type", "") == "window"; });
    };
    x.pause();
    helper = std::make_unique<HelperProcess>(OSTROVANE_BINARY);
    EXPECT_NE(ask("HEALTH_CHECK", "CMD_RESPONSE:HEALTH_OK:"), "");
    x.resume();
    EXPECT_EQ(windowsListed(), 2);

    x.pause();
    EXPECT_EQ(ask("LIST_WINDOWS", "CMD_RESPONSE:LIST_WINDOWS:"), "[]");
    x.resume();
    EXPECT_EQ(windowsListed(), 2);
    EXPECT_FALSE(ask("SCREENSHOT", "CMD_RESPONSE:SCREENSHOT_DATA:").empty());

    EXPECT_EQ(startVideo("window", red), "started");
    ASSERT_TRUE(waitForVideoFrames(2));
    const std::size_t from = helper->errors().lines().size();
    x.pause();
    EXPECT_TRUE(helper->errors().waitForLine(
        "EVENT:VIDEO_STREAM_ERROR:The X server did not answer in time", from));
    x.resume();
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
    EXPECT_EQ(windowsListed(), 2);
    const std::size_t again = helper->outputBytes().size();
    EXPECT_EQ(startVideo("window", red), "started");
    EXPECT_TRUE(waitForVideoFrames(2, again));
}

// The largest difference of one channel between two pictures within `area`
// (decoded pixels), or outside it when `outside`.
int largestDifference(const Picture& a, const Picture& b, xcb_rectangle_t area, bool outside) {
    int largest = 0;
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            const bool in =
                x >= area.x && x < area.x + area.width && y >= area.y && y < area.y + area.height;
            if (in == outside)
                continue;
            const std::uint32_t p = a.at(x, y), q = b.at(x, y);
            for (int shift : {0, 8, 16})
                largest = std::max(largest,
                                   std::abs(int((p >> shift) & 0xFF) - int((q >> shift) & 0xFF)));
        }
    }
    return largest;
}

// Pixels of 16-, 24- and 30-bit screens come out in their own colours in
// stills and video, unsheared where an odd width leaves rows padded (an 8-bit screen's colour map
// is refused: below). Still, the screen is sent once a second, the same
// picture each time, with a keyframe once two seconds have passed since the
// last one.
class X11HelperDepth : public X11Helper, public ::testing::WithParamInterface<const char*> {
  protected:
    X11HelperDepth() : X11Helper(GetParam()) {}
};

TEST_P(X11HelperDepth, OrangeIsOrangeAndAStillScreenComesOnceASecond) {
    windows->map({.at = {700, 450, 400, 200}, .rgb = kOrange});
    const auto monitor = displayId();
    auto still = decodePng(ask("SCREENSHOT", "CMD_RESPONSE:SCREENSHOT_DATA:"));
    ASSERT_TRUE(still);
    EXPECT_TRUE(nearColour(still->at(900, 550), kOrange, 8)) << std::hex << still->at(900, 550);
    EXPECT_TRUE(nearColour(still->at(150, 120), kRed, 8)) << std::hex << still->at(150, 120);
    // Video of a display comes at half its size.
    EXPECT_EQ(startVideo("display", monitor, 1280, 720), "started");
    ASSERT_TRUE(waitForVideoFrames(5));
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
    const auto frames = videoFrames();
    std::optional<std::uint64_t> keyframe;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& v = frames[i].video();
        EXPECT_EQ(frames[i].sequence, i);
        if (i > 0) {
            EXPECT_GE(v.pts - frames[i - 1].video().pts, 1'000'000u) << "frame " << i;
        }
        EXPECT_EQ(v.isKeyframe(), !keyframe || v.pts - *keyframe >= 2'000'000u) << "frame " << i;
        if (v.isKeyframe())
            keyframe = v.pts;
    }
    const auto video = decodeVideo(0, false), last = decodeVideo(0, true);
    ASSERT_TRUE(video && last);
    EXPECT_EQ(std::tie(video->width, video->height), std::make_tuple(640, 360));
    for (auto [x, y, rgb] : {std::tuple{450, 275, kOrange}, {75, 100, kRed}, {250, 150, kGreen}})
        EXPECT_TRUE(nearColour(video->at(x, y), rgb)) << std::hex << video->at(x, y);
    EXPECT_LT(largestDifference(*video, *last, {0, 0, 0, 0}, true), 16);
}

INSTANTIATE_TEST_SUITE_P(Screens, X11HelperDepth,
                         ::testing::Values("1281x720x16", "1280x720x24", "1281x720x30"),
                         [](const auto& info) { return "Depth" + std::string(info.param + 9); });

// Video of a display: the depth cases above.
TEST_F(X11Helper, VideoOfAWindowDecodesToItsContent) {
    // A window fills the requested size, also once resized during the
    // stream; its id is read modulo 2^32, as every id of START_VIDEO.
    const std::size_t from = helper->outputBytes().size();
    EXPECT_EQ(startVideo("window", red + (std::uint64_t{1} << 32)), "started");
    ASSERT_TRUE(waitForVideoFrames(3, from));
    auto window = decodeVideo(from, true);
    ASSERT_TRUE(window);
    EXPECT_EQ(std::tie(window->width, window->height), std::make_tuple(320, 240));
    EXPECT_TRUE(nearColour(window->at(160, 120), kRed));
    windows->resize(red, 200, 400);
    const std::size_t resized = videoFrames(from).size();
    ASSERT_TRUE(waitForVideoFrames(resized + 5, from));
    window = decodeVideo(from, true);
    ASSERT_TRUE(window);
    EXPECT_EQ(std::tie(window->width, window->height), std::make_tuple(320, 240));
    EXPECT_TRUE(nearColour(window->at(160, 120), kRed));

    EXPECT_EQ(ask("SWITCH_VIDEO:{\"type\":\"window\",\"id\":" + std::to_string(green) + "}",
                  "CMD_RESPONSE:SWITCH_VIDEO:"),
              "switched");
    // A switch to a window that does not exist is refused and keeps the capture.
    EXPECT_TRUE(
        ask("SWITCH_VIDEO:{\"type\":\"window\",\"id\":124076833}", "CMD_RESPONSE:SWITCH_VIDEO:")
            .starts_with("error:"));
    const std::size_t before = videoFrames(from).size();
    ASSERT_TRUE(waitForVideoFrames(before + 5, from));
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
    auto switched = decodeVideo(from, true);
    ASSERT_TRUE(switched);
    EXPECT_TRUE(nearColour(switched->at(160, 120), kGreen));

    // A display away from the origin shows its own part of the screen: one
    // over green's lower half and the empty screen below it.
    const std::size_t display = helper->outputBytes().size();
    EXPECT_EQ(startVideo("display", windows->addMonitor("LOWER", 250, 300, 400, 300)), "started");
    ASSERT_TRUE(waitForVideoFrames(3, display));
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
    auto lower = decodeVideo(display, true);
    ASSERT_TRUE(lower);
    EXPECT_TRUE(nearColour(lower->at(lower->width / 2, lower->height / 4), kGreen));
    EXPECT_FALSE(nearColour(lower->at(lower->width / 2, lower->height - 4), kGreen));
}

// ---- video that follows what changes ----

constexpr std::uint32_t kBlue = 0x0000FF, kSlate = 0x336699;

// One change on what is filmed (the display at 960 x 540, or red at its own
// size): the frame after it shows the change where it happened and the same
// picture everywhere else. A server without XDamage has every tick grabbed
// whole: its frames come at the rate before anything changes.
enum class Change { rectangle, rectangles, cursor, windowResized, windowRectangle };
struct ChangeCase {
    const char* name;
    Change change;
    xcb_rectangle_t changed;              // in decoded pixels, with room for the codec's edges
    std::optional<std::uint32_t> colour;  // what the change's centre shows
    std::vector<std::string> serverArguments = {};
    std::size_t frames = 1;  // waited for before the change, and after it
    friend void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.name; }
};
const std::vector<std::string> kNoDamage = {"-extension", "DAMAGE"};
class X11HelperChange : public X11Helper, public ::testing::WithParamInterface<ChangeCase> {
  protected:
    X11HelperChange() : X11Helper("1920x1080x24", GetParam().serverArguments) {}
};

TEST_P(X11HelperChange, ShowsInTheNextFrameAndNothingElseChanges) {
    const ChangeCase& c = GetParam();
    const bool window = c.change == Change::windowRectangle;
    windows->fill(windows->root(), {0, 0, 1920, 1080}, kSlate);
    windows->map({.at = {1000, 100, 400, 300}, .rgb = kGreen});
    windows->movePointer(1700, 900);
    const std::size_t from = helper->outputBytes().size();
    EXPECT_EQ(
        window ? startVideo("window", red, 400, 300) : startVideo("display", displayId(), 960, 540),
        "started");
    ASSERT_TRUE(waitForVideoFrames(c.frames, from));
    const auto before = decodeVideo(from, true);
    ASSERT_TRUE(before);
    const std::size_t seen = videoFrames(from).size();
    switch (c.change) {
        case Change::rectangle:
            windows->fill(windows->root(), {1400, 700, 200, 100}, kBlue);
            break;
        case Change::rectangles:
            // One after another, each in a frame of its own: every later frame
            // must keep the earlier ones, whichever frame image it is built in.
            for (std::int16_t i = 0; i < 6; ++i) {
                windows->fill(windows->root(), {std::int16_t(1400 + i * 30), 700, 20, 100}, kBlue);
                ASSERT_TRUE(waitForVideoFrames(seen + i + 1, from));
            }
            break;
        case Change::cursor:
            windows->movePointer(300, 900);
            break;
        case Change::windowResized:
            windows->resize(red, 400, 500);  // down to 600, below green
            break;
        case Change::windowRectangle:
            windows->fill(red, {20, 200, 60, 40}, kBlue);
            break;
    }
    ASSERT_TRUE(waitForVideoFrames(seen + c.frames, from));
    const auto after = decodeVideo(from, true);
    ASSERT_TRUE(after);
    ASSERT_EQ(std::tie(after->width, after->height), std::tie(before->width, before->height));
    EXPECT_GT(largestDifference(*before, *after, c.changed, false), 60);
    EXPECT_LT(largestDifference(*before, *after, c.changed, true), 24);
    for (int i = 0; c.change == Change::rectangles && i < 6; ++i)
        EXPECT_TRUE(nearColour(after->at(705 + i * 15, 375), kBlue)) << "strip " << i;
    if (c.colour) {
        EXPECT_TRUE(nearColour(
            after->at(c.changed.x + c.changed.width / 2, c.changed.y + c.changed.height / 2),
            *c.colour));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, X11HelperChange,
    ::testing::Values(
        // 1400..1600 x 700..800 on the screen.
        ChangeCase{"Rectangle", Change::rectangle, {690, 340, 120, 70}, kBlue},
        // 1400..1570 x 700..800, in six strips; the last one's centre is blue.
        ChangeCase{"Rectangles", Change::rectangles, {690, 340, 100, 70}, std::nullopt},
        // The cursor leaves (850, 450) and comes to (150, 450).
        ChangeCase{"Cursor", Change::cursor, {130, 430, 740, 40}, std::nullopt},
        // Red grows from 400 to 600 below green: 50..250 x 200..300.
        ChangeCase{"WindowResized", Change::windowResized, {40, 190, 220, 120}, kRed},
        ChangeCase{"WindowRectangle", Change::windowRectangle, {10, 190, 80, 60}, kBlue},
        ChangeCase{"WithoutDamage", Change::rectangle, {690, 340, 120, 70}, kBlue, kNoDamage, 10}),
    [](const auto& info) { return std::string(info.param.name); });

// Without Composite a window is grabbed from the screen, and without shared
// memory every grab comes over the connection: green, over red's middle,
// shows in red's video, and a screenshot shows each window in its colour.
class X11HelperPlainServer : public X11Helper {
  protected:
    X11HelperPlainServer()
        : X11Helper("1920x1080x24", {"-extension", "Composite", "-extension", "MIT-SHM"}) {}
};

TEST_F(X11HelperPlainServer, AWindowIsFilmedWithWhatCoversItAndStillsAreWhole) {
    const auto still = decodePng(ask("SCREENSHOT", "CMD_RESPONSE:SCREENSHOT_DATA:"));
    ASSERT_TRUE(still);
    for (auto [x, y, rgb] : {std::tuple{150, 120, kRed}, {600, 400, kGreen}, {1900, 1000, 0u}})
        EXPECT_TRUE(nearColour(still->at(x, y), rgb, 8)) << std::hex << still->at(x, y);
    EXPECT_EQ(startVideo("window", red, 400, 300), "started");
    ASSERT_TRUE(waitForVideoFrames(2));
    const auto video = decodeVideo(0, true);
    ASSERT_TRUE(video);
    EXPECT_TRUE(nearColour(video->at(50, 30), kRed)) << std::hex << video->at(50, 30);
    EXPECT_TRUE(nearColour(video->at(300, 200), kGreen)) << std::hex << video->at(300, 200);
}

// A capture that loses what it captures, or cannot read the pixels of an
// 8-bit screen, ends with an event naming why; the helper stays and keeps
// answering.
enum class Loss { windowDestroyed, monitorRemoved, serverKilled, pixelFormat };
struct LossCase {
    const char* name;
    Loss loss;
    const char* event;
    const char* screen = "1920x1080x24";
    friend void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }
};
class X11HelperLoss : public X11Helper, public ::testing::WithParamInterface<LossCase> {
  protected:
    X11HelperLoss() : X11Helper(GetParam().screen) {}
};

TEST_P(X11HelperLoss, ACaptureThatLosesOrCannotReadItsTargetEndsWithAnEvent) {
    const Loss loss = GetParam().loss;
    const std::size_t from = helper->errors().lines().size();
    const bool display = loss == Loss::monitorRemoved || loss == Loss::pixelFormat;
    const std::uint64_t target = loss == Loss::monitorRemoved
                                     ? windows->addMonitor("TESTMON", 0, 0, 800, 600)
                                     : (display ? displayId() : red);
    EXPECT_EQ(startVideo(display ? "display" : "window", target), "started");
    ASSERT_TRUE(loss == Loss::pixelFormat || waitForVideoFrames(2));
    if (loss == Loss::windowDestroyed)
        windows->destroy(red);
    if (loss == Loss::monitorRemoved)
        windows->removeMonitor("TESTMON");
    if (loss == Loss::serverKilled)
        x.kill();
    EXPECT_TRUE(helper->errors().waitForLine(
        std::string("EVENT:VIDEO_STREAM_ERROR:") + GetParam().event, from));
    EXPECT_NE(ask("HEALTH_CHECK", "CMD_RESPONSE:HEALTH_OK:"), "");
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
    // Nothing is left to list once the server is gone.
    EXPECT_TRUE(loss != Loss::serverKilled ||
                ask("LIST_WINDOWS", "CMD_RESPONSE:LIST_WINDOWS:") == "[]");
    EXPECT_TRUE(helper->isRunning());
}

INSTANTIATE_TEST_SUITE_P(
    Targets, X11HelperLoss,
    ::testing::Values(
        LossCase{"WindowDestroyed", Loss::windowDestroyed, "The captured window was closed"},
        LossCase{"MonitorRemoved", Loss::monitorRemoved, "The captured display was removed"},
        LossCase{"ServerKilled", Loss::serverKilled, "The connection to the X server was lost"},
        LossCase{"Depth8", Loss::pixelFormat, "The X server's pixel format cannot be captured",
                 "1280x720x8"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrovane::test
