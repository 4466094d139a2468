#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <vector>

#include "contract/ScreenCaptureContract.h"
#include "dispatch/ManualClock.h"
#include "platform/image/ImagePool.h"
#include "platform/image/PixelFormat.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/sim/SimWorld.h"
#include "platform/x11/ServerProbe.h"
#include "platform/x11/WindowOwners.h"
#include "platform/x11/X11Monitors.h"
#include "servers/PrivatePulseServer.h"
#include "x11/X11Fixture.h"

namespace ostrovane::platform::x11 {
namespace {

using test::rgbAt;
using test::X11Fixture;
using testing::ElementsAre;

TEST(ImagePool, ReusesReleasedImagesAndNeverOneStillHeld) {
    ImagePool pool(2);
    auto first = pool.share(pool.take(8, 8));
    const Image* firstAddress = first.get();
    auto second = pool.take(8, 8);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second.get(), firstAddress);
    EXPECT_EQ(pool.take(8, 8), nullptr);  // both exist, one is held
    first.reset();
    auto again = pool.take(8, 8);
    EXPECT_EQ(again.get(), firstAddress);
}

struct LayoutCase {
    const char* name;
    PixelLayout layout;
    std::vector<std::uint8_t> pixel;  // one pixel as the server sends it
    std::uint32_t rgb;                // what it shows; 0: refused
    friend void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }
};

// Server pixels of every layout an X server may send become the same BGRA.
// Orange, 255,128,0: 10-bit green 514, 6-bit 32 and 5-bit 16 are the
// nearest of their depth to 128. Padding and alpha bytes are 0x40.
const LayoutCase kLayouts[] = {
    {"Depth24", {32, 0xFF0000, 0xFF00, 0xFF, false}, {0x00, 0x80, 0xFF, 0x40}, 0xFF8000},
    {"Depth24Bgr", {32, 0xFF, 0xFF00, 0xFF0000, true}, {0x40, 0x00, 0x80, 0xFF}, 0xFF8000},
    {"Depth24Packed", {24, 0xFF0000, 0xFF00, 0xFF, false}, {0x00, 0x80, 0xFF}, 0xFF8000},
    {"Depth30", {32, 0x3FF00000, 0xFFC00, 0x3FF, false}, {0x00, 0x08, 0xF8, 0x3F}, 0xFF8000},
    {"Depth30MsbFirst", {32, 0x3FF00000, 0xFFC00, 0x3FF, true}, {0x3F, 0xF8, 0x08, 0x00}, 0xFF8000},
    {"Depth16", {16, 0xF800, 0x7E0, 0x1F, false}, {0x00, 0xFC}, 0xFF8200},
    {"Depth15", {16, 0x7C00, 0x3E0, 0x1F, false}, {0x00, 0x7E}, 0xFF8400},
    {"EightBitsRefused", {8, 0xE0, 0x1C, 0x03, false}, {0xFC}, 0},
    {"SplitMaskRefused", {32, 0xF0F000, 0xF00, 0xF, false}, {0, 0, 0, 0}, 0},
    {"MaskOutsidePixelRefused", {16, 0xF0000, 0x7E0, 0x1F, false}, {0, 0}, 0},
};

class ImagePixels : public testing::TestWithParam<LayoutCase> {};

TEST_P(ImagePixels, EveryPixelComesOutOpaqueInItsColourOrTheImageIsLeft) {
    const LayoutCase& c = GetParam();
    // 3 × 2 pixels, rows padded to 16 bytes with bytes that must not show.
    std::vector<std::uint8_t> rows(32, 0xA5);
    for (std::size_t i = 0; i < 6; ++i)
        std::copy(c.pixel.begin(), c.pixel.end(),
                  rows.begin() + i / 3 * 16 + i % 3 * c.pixel.size());
    Image image(1, 1);
    ASSERT_EQ(toBgra(rows.data(), 16, 3, 2, c.layout, image), c.rgb != 0);
    const std::uint32_t count = c.rgb != 0 ? 6 : 1;
    ASSERT_EQ(image.width() * image.height(), count);
    for (std::uint32_t i = 0; c.rgb != 0 && i < count; ++i) {
        const std::uint8_t* p = image.row(i / 3) + i % 3 * 4;
        EXPECT_EQ(std::uint32_t(p[3] << 24 | p[2] << 16 | p[1] << 8 | p[0]), 0xFF000000 | c.rgb);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ImagePixels, testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(X11Monitors, TheMainMonitorComesFirstAndFramesUseItsBottomLeft) {
    const X11Monitor left{10, "left", 0, 0, 1280, 1024, false};
    const X11Monitor primary{20, "main", 1280, 200, 1920, 1080, true};
    const auto displays = displaysOf({left, primary});
    ASSERT_EQ(displays.size(), 2u);
    EXPECT_EQ(displays[0].displayId, 20u);  // the main monitor comes first
    EXPECT_EQ(displays[0].frame, (Rect{0, 0, 1920, 1080}));
    // The left monitor's bottom edge (y 1024 in X) lies 256 above the
    // primary's bottom edge (y 1280 in X).
    EXPECT_EQ(displays[1].frame, (Rect{-1280, 256, 1280, 1024}));
    // The main monitor: the primary, else the one at the origin, else the first.
    const X11Monitor a{1, "a", 1920, 0, 800, 600, false};
    const X11Monitor origin{2, "b", 0, 0, 1920, 1080, false};
    X11Monitor below{3, "c", 0, 1080, 800, 600, true};
    EXPECT_EQ(mainMonitor({a, origin, below}), 2u);
    EXPECT_EQ(mainMonitor({a, origin}), 1u);
    EXPECT_EQ(mainMonitor({a, below}), 1u);
    below.primary = false;
    EXPECT_EQ(mainMonitor({a, below}), 0u);
}

TEST(X11Monitors, WindowsAreNamedAfterTheDesktopApplicationOfTheirProcess) {
    dispatch::ManualClock clock{0.0};
    sim::SimWorld world{clock};
    world.applications().addApplication({321, "org.example.Notes", "Notes", "/usr/bin/notes"});
    ApplicationWindowOwners owners;
    const WindowClaims notes{321, "notes-bin", "Notes-bin"};
    const WindowClaims other{654, "term", "XTerm"};
    // Until the applications are bound, and for a process of no installed
    // application, WM_CLASS names the owner.
    EXPECT_EQ(owners.owner(notes), (OwningApplication{"Notes-bin", "", 321}));
    owners.resolveWith(world.platform().applications);
    EXPECT_EQ(owners.owner(notes), (OwningApplication{"Notes", "org.example.Notes", 321}));
    EXPECT_EQ(owners.owner(other), (OwningApplication{"XTerm", "", 654}));
    EXPECT_EQ(owners.owner({std::nullopt, "a", "A"}), std::nullopt);
}

using X11DisplaysTest = X11Fixture;

std::vector<WindowId> idsOf(const Result<ShareableContent>& content) {
    std::vector<WindowId> ids;
    for (const auto& w : content.ok() ? content.value().windows : std::vector<Window>{})
        ids.push_back(w.windowId);
    return ids;
}

TEST_F(X11DisplaysTest, ListsTopLevelWindowsFrontFirstWithTitlesFramesAndOwners) {
    const auto pid = static_cast<std::uint32_t>(::getpid());
    const auto painter = windows->map({.at = {100, 50, 400, 300},
                                       .title = "Gr\xC3\xBCn \xE2\x9C\x93",
                                       .pid = pid,
                                       .wmClass = "Painter"});
    const auto latin =
        windows->map({.at = {600, 200, 200, 150}, .title = "Caf\xE9", .utf8Title = false});
    const auto hidden = windows->map({.title = "Hidden", .mapped = false});
    const auto desktop =
        windows->map({.at = {1000, 700, 150, 150}, .title = "Desktop", .desktop = true});

    auto all = content();
    ASSERT_TRUE(all.ok()) << all.error().description();
    EXPECT_THAT(idsOf(all), ElementsAre(desktop, latin, painter));
    const Window& p = all.value().windows[2];
    EXPECT_EQ(p.title, "Gr\xC3\xBCn \xE2\x9C\x93");
    EXPECT_EQ(p.frame, (Rect{100, 1080 - 50 - 300, 400, 300}));
    ASSERT_TRUE(p.owningApplication);
    EXPECT_EQ(p.owningApplication->applicationName, "Painter");
    EXPECT_EQ(p.owningApplication->pid, static_cast<Pid>(pid));
    EXPECT_TRUE(p.isOnScreen);
    EXPECT_FALSE(p.isDesktopWindow);
    EXPECT_EQ(all.value().windows[1].title, "Caf\xC3\xA9");
    EXPECT_FALSE(all.value().windows[1].owningApplication);
    EXPECT_TRUE(all.value().windows[0].isDesktopWindow);
    EXPECT_THAT(idsOf(content({.excludeDesktopWindows = true})), ElementsAre(latin, painter));

    // With a window manager its client list decides, mapped or not.
    windows->publishClientList({painter, hidden});
    EXPECT_THAT(idsOf(content()), ElementsAre(painter));
    EXPECT_THAT(idsOf(content({false, false})), ElementsAre(hidden, painter));
}

// This process's resident memory in KiB.
long residentKib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// A screenshot's grab (an 8 MB image and an 8 MB shared-memory segment of
// the 1080p screen) serves the stills that follow, and goes back once idle.
TEST_F(X11DisplaysTest, TheGrabOfAScreenshotIsGivenBackOnceIdle) {
    dispatch::ManualClock idle{0.0};
    auto displays = X11Displays::connect(idle, quiet(server.name()));
    ASSERT_NE(displays, nullptr);
    const ContentFilter filter = displayFilter();
    const StreamConfiguration full;  // the whole 1080p screen
    const long before = residentKib();
    const auto taken = [&] {
        return await<Result<Image>>([&](auto done) { displays->screenshot(filter, full, done); })
            .has_value();
    };
    ASSERT_TRUE(taken());
    idle.advance(X11Displays::kGrabKeptIdle / 2);
    ASSERT_TRUE(taken());  // a second still restarts the wait
    idle.advance(X11Displays::kGrabKeptIdle / 2 + std::chrono::milliseconds(1));
    [[maybe_unused]] const long held = residentKib() - before;
    idle.advance(X11Displays::kGrabKeptIdle);
    [[maybe_unused]] const long after = residentKib() - before;
    // Sanitizers hold freed memory back on purpose: there resident sizes
    // tell nothing.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The shared-memory segment (8,100 KiB at 1080p) comes back (what else
    // the process frees meanwhile may add to the difference).
    EXPECT_GT(held - after, 6 * 1024) << held << " KiB held, then " << after;
#endif
}

TEST_F(X11DisplaysTest, TheProbeTellsARunningAStoppedAndNoServerApart) {
    const std::string number = server.name().substr(1);
    const std::pair<std::string, ServerState> cases[] = {
        {server.name(), ServerState::answers},
        {server.name() + ".0", ServerState::answers},
        {"unix:" + number, ServerState::answers},
        {":119", ServerState::absent},
        {"localhost:" + number, ServerState::notProbed},
    };
    for (const auto& [name, state] : cases)
        EXPECT_EQ(probeServer(name, std::chrono::milliseconds(500)).state, state) << name;
    EXPECT_EQ(X11Displays::connect(clock, quiet(":119")), nullptr);  // no server, no provider
    server.pause();
    EXPECT_EQ(probeServer(server.name(), std::chrono::milliseconds(100)).state,
              ServerState::silent);
    server.resume();
}

TEST_F(X11DisplaysTest, CursorIsDrawnInOnlyWhenShown) {
    windows->map({.at = {0, 0, 400, 400}, .rgb = 0xFFFFFF, .title = "W"});
    windows->movePointer(200, 200);
    StreamConfiguration config;  // the whole 1080p screen
    auto countOther = [&](bool showsCursor) {
        config.showsCursor = showsCursor;
        auto image = shot(displayFilter(), config);
        EXPECT_TRUE(image.ok());
        int other = 0;
        for (std::uint32_t y = 170; image.ok() && y < 230; ++y)
            for (std::uint32_t x = 170; x < 230; ++x)
                other += rgbAt(image.value(), x, y) != 0xFFFFFFu;
        return other;
    };
    EXPECT_EQ(countOther(false), 0);
    EXPECT_GT(countOther(true), 10);
}

// The screen contract against the real Linux provider: displays, windows,
// images and screenshots from a private Xvfb, system audio from a private
// PulseAudio.
class X11Harness final : public contract::RealTimeHarness {
  public:
    X11Harness() {
        EXPECT_TRUE(sound.ready()) << "private PulseAudio did not start: " << sound.failure();
        EXPECT_TRUE(display.ready()) << "Xvfb did not start";
        LinuxPlatformOptions options;
        options.pulseServer = sound.server();
        options.displays = X11Displays::connect(clock_, display.name());
        platform_ = makeLinuxPlatform(clock_, std::move(options));
    }

    Platform platform() override { return platform_; }

  private:
    test::PrivatePulseServer sound;
    test::PrivateXServer display;
    Platform platform_;
};

using contract::providerName;
using contract::ScreenCaptureContract;
INSTANTIATE_TEST_SUITE_P(X11, ScreenCaptureContract,
                         testing::Values(contract::Provider{
                             "X11", [] { return std::make_unique<X11Harness>(); }}),
                         providerName);

}  // namespace
}  // namespace ostrovane::platform::x11
