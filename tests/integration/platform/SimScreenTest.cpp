#include "integration/platform/SimFixture.h"

namespace ostrovane::testing_support {
namespace {

using namespace platform;
using namespace platform::sim;

Window window(WindowId id, std::optional<std::string> title = std::nullopt, Rect frame = {},
              bool onScreen = true, bool desktop = false) {
    Window w;
    w.windowId = id;
    w.title = std::move(title);
    w.frame = frame;
    w.isOnScreen = onScreen;
    w.isDesktopWindow = desktop;
    return w;
}

class SimScreenTest : public SimFixture {
  protected:
    SimScreenTest() {
        screen.addDisplay({.id = 1, .isMain = true});
        screen.addDisplay({.id = 2, .frame = {1920, 0, 1280, 720}, .screenName = std::nullopt});
        screen.addWindow(window(10, "Editor", {100, 100, 800, 600}));
        screen.addWindow(window(11, "Hidden", {}, false));
        screen.addWindow(window(12, std::nullopt, {}, true, true));
    }

    ContentFilter displayFilter(DisplayId id) { return screen.makeFilter(Display{id, 1, 1, {}}); }

    std::shared_ptr<CaptureStream> started(const ContentFilter& filter,
                                           contract::Recorder<StreamStopError>& stops) {
        auto stream = screen.makeStream(filter, {}, [&stops](const auto& e) { stops.add(e); });
        stream->startCapture([](MaybeError) {});
        clock.settle();
        return stream;
    }

    SimScreen& screen = world.screen();
};

TEST_F(SimScreenTest, ContentHonoursTheOptionsAndScriptedFailures) {
    contract::Recorder<Result<ShareableContent>> answers;
    auto collect = [&](auto r) { answers.add(std::move(r)); };
    screen.shareableContent({.excludeDesktopWindows = false, .onScreenWindowsOnly = true}, collect);
    screen.shareableContent({.excludeDesktopWindows = true, .onScreenWindowsOnly = false}, collect);
    screen.failShareableContent(Error{"SCStreamErrorDomain", -3801, "Declined"});
    screen.shareableContent({}, collect);
    clock.settle();

    auto all = answers.values();
    ASSERT_EQ(all.size(), 3u);
    ASSERT_EQ(all[0].value().displays.size(), 2u);
    auto ids = [](const ShareableContent& c) {
        std::vector<WindowId> v;
        for (const auto& w : c.windows)
            v.push_back(w.windowId);
        return v;
    };
    EXPECT_EQ(ids(all[0].value()), (std::vector<WindowId>{10, 12}));
    EXPECT_EQ(ids(all[1].value()), (std::vector<WindowId>{10, 11}));
    EXPECT_EQ(all[2].error().code, -3801);

    // Display 2 has no operating-system screen.
    auto screens = screen.screens();
    ASSERT_EQ(screens.screens.size(), 1u);
    EXPECT_EQ(screens.screens[0].screenNumber, 1u);
    EXPECT_EQ(screens.mainScreen, 0u);
}

TEST_F(SimScreenTest, StartOutcomesAreAnsweredAsScripted) {
    screen.pushStartOutcome(SimOutcome::fail({"SCStreamErrorDomain", -3802, "Failed"}));
    screen.pushStartOutcome(SimOutcome::never());
    contract::Recorder<std::string> answers;
    std::vector<std::shared_ptr<CaptureStream>> streams;
    for (int i = 0; i < 3; ++i) {
        streams.push_back(screen.makeStream(displayFilter(1), {}, nullptr));
        streams.back()->startCapture([&answers, i](MaybeError e) {
            answers.add(std::to_string(i) + (e ? ":" + e->localizedDescription() : ":ok"));
        });
    }
    clock.advanceSeconds(60);
    EXPECT_EQ(answers.values(), (std::vector<std::string>{"0:Failed", "2:ok"}));
    EXPECT_EQ(screen.capturingStreams(), 1u);
}

TEST_F(SimScreenTest, StreamsStopByThemselvesWithTheKindOfTheirCode) {
    contract::Recorder<StreamStopError> onDisplay, onWindow;
    auto d = started(displayFilter(1), onDisplay);
    auto w = started(screen.makeFilter(window(10)), onWindow);

    screen.stopStreams(kStreamContentionCode);
    clock.settle();
    ASSERT_EQ(onDisplay.size(), 1u);
    EXPECT_EQ(onDisplay.values()[0].kind(), StreamStopKind::contention);
    EXPECT_EQ(onWindow.values()[0].kind(), StreamStopKind::contention);
    EXPECT_EQ(screen.capturingStreams(), 0u);

    // Only the stream showing the removed display stops, with its own code.
    d->startCapture([](MaybeError) {});
    w->startCapture([](MaybeError) {});
    clock.settle();
    screen.removeDisplay(1);
    clock.settle();
    ASSERT_EQ(onDisplay.size(), 2u);
    EXPECT_EQ(onDisplay.values()[1].kind(), StreamStopKind::displayUnavailable);
    EXPECT_EQ(onWindow.size(), 1u);

    screen.stopStreams(-3821, "generic");
    clock.settle();
    ASSERT_EQ(onWindow.size(), 2u);
    EXPECT_EQ(onWindow.values()[1].kind(), StreamStopKind::other);
    EXPECT_EQ(onWindow.values()[1].code(), -3821);

    // A stream that is not capturing never reports a stop.
    screen.stopStreams(kStreamContentionCode);
    clock.settle();
    EXPECT_EQ(onWindow.size(), 2u);
}

TEST_F(SimScreenTest, FilterUpdatesChangeThePictureAndFaultsAreScripted) {
    StreamConfiguration config;
    config.width = 8;
    config.height = 8;
    auto stream = screen.makeStream(displayFilter(1), config, nullptr);
    contract::Recorder<ScreenSample> samples;
    ASSERT_FALSE(stream->addScreenOutput([&](const auto& s) { samples.add(s); }, queue->ref()));
    EXPECT_TRUE(stream->addScreenOutput([](const auto&) {}, queue->ref())) << "one output per type";
    stream->startCapture([](MaybeError) {});
    clock.advanceSeconds(0.1);
    ASSERT_GT(samples.size(), 0u);
    const std::uint8_t displayGreen = samples.values().back().image->data()[1];

    stream->updateContentFilter(screen.makeFilter(window(10)), [](MaybeError) {});
    clock.advanceSeconds(0.1);
    EXPECT_NE(samples.values().back().image->data()[1], displayGreen);

    screen.failAddOutput(Error{"SCStreamErrorDomain", -3813, "No output"});
    auto other = screen.makeStream(displayFilter(1), config, nullptr);
    auto refused = other->addAudioOutput([](auto) {}, queue->ref());
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code, -3813);

    screen.failScreenshot(Error{"SCStreamErrorDomain", -3811, "No shot"});
    contract::Recorder<Result<Image>> shots;
    screen.screenshot(displayFilter(1), config, [&](auto r) { shots.add(std::move(r)); });
    clock.settle();
    ASSERT_EQ(shots.size(), 1u);
    EXPECT_FALSE(shots.values()[0].ok());
}

}  // namespace
}  // namespace ostrovane::testing_support
