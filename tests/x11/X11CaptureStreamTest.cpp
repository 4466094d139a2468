#include <gtest/gtest.h>

#include <thread>

#include "platform/x11/ImagePool.h"
#include "platform/x11/X11Errors.h"
#include "x11/X11Fixture.h"

namespace ostrovane::platform::x11 {
namespace {

using test::rgbAt;
using test::X11Fixture;

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

// What a receiver sees of one stream. It keeps only the latest image, as a
// real one does: images it holds are not reused by the stream.
struct Receiver {
    std::mutex mutex;
    std::size_t received = 0;            // guarded by mutex
    ScreenSample latest;                 // guarded by mutex
    std::vector<StreamStopError> stops;  // guarded by mutex

    void add(const ScreenSample& s) {
        std::lock_guard lock(mutex);
        ++received;
        latest = s;
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return received;
    }
    ScreenSample last() {
        std::lock_guard lock(mutex);
        return latest;
    }
    std::vector<StreamStopError> stopped() {
        std::lock_guard lock(mutex);
        return stops;
    }
};

class X11CaptureStreamTest : public X11Fixture {
  protected:
    void SetUp() override {
        X11Fixture::SetUp();
        queue = std::make_unique<dispatch::SerialQueue>(clock, "test.samples");
    }
    void TearDown() override {
        streams.clear();
        queue.reset();
    }

    std::shared_ptr<CaptureStream> startStream(const ContentFilter& filter,
                                               StreamConfiguration config, Receiver& receiver) {
        auto stream = screen->makeStream(filter, config, [&receiver](const StreamStopError& e) {
            std::lock_guard lock(receiver.mutex);
            receiver.stops.push_back(e);
        });
        EXPECT_FALSE(stream->addScreenOutput(
            [&receiver](const ScreenSample& s) { receiver.add(s); }, queue->ref()));
        auto started = await<MaybeError>([&](auto done) { stream->startCapture(done); });
        EXPECT_TRUE(started && !*started) << (started && *started ? (*started)->message : "");
        streams.push_back(stream);
        return stream;
    }

    static bool eventually(const std::function<bool()>& done) {
        for (int i = 0; i < 250 && !done(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return done();
    }

    static StreamConfiguration config(std::int64_t width, std::int64_t height) {
        StreamConfiguration c;
        c.width = width;
        c.height = height;
        c.minimumFrameInterval = {1, 30};
        c.scalesToFit = true;
        c.showsCursor = false;
        return c;
    }

    std::unique_ptr<dispatch::SerialQueue> queue;
    std::vector<std::shared_ptr<CaptureStream>> streams;
};

TEST_F(X11CaptureStreamTest, ScalesToFitAndSwitchesToAnotherWindow) {
    const auto wide = windows->map(
        {.x = 100, .y = 100, .width = 400, .height = 200, .rgb = 0xFF0000, .title = "Wide"});
    const auto square = windows->map(
        {.x = 800, .y = 100, .width = 300, .height = 300, .rgb = 0x00FF00, .title = "Square"});
    Receiver receiver;
    auto stream = startStream(windowFilter(wide), config(320, 320), receiver);
    ASSERT_TRUE(eventually([&] { return receiver.count() >= 2; }));
    auto sample = receiver.last();
    ASSERT_EQ(sample.image->width(), 320u);
    ASSERT_EQ(sample.image->height(), 320u);
    // 400x200 fits as 320x160, centred between black bands.
    EXPECT_EQ(rgbAt(*sample.image, 160, 160), 0xFF0000u);
    EXPECT_EQ(rgbAt(*sample.image, 160, 40), 0x000000u);
    EXPECT_EQ(rgbAt(*sample.image, 160, 280), 0x000000u);

    auto switched = await<MaybeError>(
        [&](auto done) { stream->updateContentFilter(windowFilter(square), done); });
    ASSERT_TRUE(switched && !*switched);
    const std::size_t before = receiver.count();
    ASSERT_TRUE(eventually([&] { return receiver.count() >= before + 2; }));
    sample = receiver.last();
    EXPECT_EQ(rgbAt(*sample.image, 160, 40), 0x00FF00u);
    EXPECT_EQ(rgbAt(*sample.image, 5, 5), 0x00FF00u);

    // A switch to a window that does not exist fails and keeps the old one.
    auto refused = await<MaybeError>(
        [&](auto done) { stream->updateContentFilter(windowFilter(0x7654321), done); });
    ASSERT_TRUE(refused && *refused);
    EXPECT_TRUE(receiver.stopped().empty());

    auto stopped = await<MaybeError>([&](auto done) { stream->stopCapture(done); });
    ASSERT_TRUE(stopped && !*stopped);
    const std::size_t afterStop = receiver.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(receiver.count(), afterStop);
}

TEST_F(X11CaptureStreamTest, StreamStopsWithTheReasonWhenItsTargetGoes) {
    const auto window =
        windows->map({.x = 10, .y = 10, .width = 200, .height = 200, .title = "Doomed"});
    const auto monitorId = windows->addMonitor("TESTMON", 0, 0, 800, 600);
    auto all = content();
    ASSERT_TRUE(all.ok());
    std::optional<Display> monitor;
    for (const auto& d : all.value().displays) {
        if (d.displayId == monitorId)
            monitor = d;
    }
    ASSERT_TRUE(monitor) << "no monitor " << monitorId << " among " << all.value().displays.size()
                         << " displays";

    Receiver windowReceiver;
    Receiver displayReceiver;
    startStream(windowFilter(window), config(64, 64), windowReceiver);
    startStream(screen->makeFilter(*monitor), config(64, 64), displayReceiver);
    ASSERT_TRUE(eventually([&] { return windowReceiver.count() > 0 && displayReceiver.count(); }));

    windows->destroy(window);
    windows->removeMonitor("TESTMON");
    ASSERT_TRUE(eventually(
        [&] { return !windowReceiver.stopped().empty() && !displayReceiver.stopped().empty(); }));
    EXPECT_EQ(windowReceiver.stopped().front().code(), kWindowClosedCode);
    EXPECT_EQ(displayReceiver.stopped().front().kind(), StreamStopKind::displayUnavailable);
    EXPECT_TRUE(content().ok());
}

TEST_F(X11CaptureStreamTest, ServerGoneStopsEveryStreamAndLaterQueriesFail) {
    const auto window = windows->map({.x = 10, .y = 10, .width = 200, .height = 200, .title = "W"});
    Receiver windowReceiver;
    Receiver displayReceiver;
    startStream(windowFilter(window), config(64, 64), windowReceiver);
    const auto display = displayFilter();
    startStream(display, config(64, 64), displayReceiver);
    ASSERT_TRUE(eventually([&] { return windowReceiver.count() > 0 && displayReceiver.count(); }));

    server.kill();
    ASSERT_TRUE(eventually(
        [&] { return !windowReceiver.stopped().empty() && !displayReceiver.stopped().empty(); }));
    EXPECT_EQ(windowReceiver.stopped().front().code(), kServerGoneCode);
    EXPECT_EQ(displayReceiver.stopped().front().code(), kServerGoneCode);
    EXPECT_FALSE(content().ok());
    EXPECT_FALSE(shot(display, config(64, 64)).ok());
    EXPECT_TRUE(screen->screens().screens.empty());
    auto stopped = await<MaybeError>([&](auto done) { streams[0]->stopCapture(done); });
    ASSERT_TRUE(stopped);
    EXPECT_TRUE(*stopped);  // it had already stopped by itself
}

}  // namespace
}  // namespace ostrovane::platform::x11
