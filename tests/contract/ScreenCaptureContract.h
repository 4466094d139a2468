#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "contract/ProviderHarness.h"
#include "dispatch/SerialQueue.h"

namespace ostrovane::contract {

// Shareable content, streams of images and system audio, screenshots.
class ScreenCaptureContract : public testing::TestWithParam<Provider> {
  protected:
    void SetUp() override {
        harness = GetParam().make();
        screen = harness->platform().screenCapture;
        queue = std::make_unique<dispatch::SerialQueue>(harness->clock(), "contract.screen");
        const auto content = harness->answers<platform::Result<platform::ShareableContent>>(
            [&](auto done) { screen->shareableContent({}, done); });
        ASSERT_EQ(content.size(), 1u);
        ASSERT_TRUE(content[0].ok()) << content[0].error().description();
        ASSERT_FALSE(content[0].value().displays.empty());
        display = content[0].value().displays.front();
    }
    void TearDown() override {
        if (stream) {
            stream->stopCapture([](platform::MaybeError) {});
            harness->pass(0.1);
        }
        stream.reset();
        queue.reset();
    }

    // Starts, stops or updates `stream` through `call` and returns every
    // completion that came: exactly one is expected.
    template <class Call>
    std::vector<platform::MaybeError> complete(Call call) {
        return harness->answers<platform::MaybeError>(call);
    }
    std::vector<platform::MaybeError> start() {
        return complete([&](auto done) { stream->startCapture(done); });
    }

    std::unique_ptr<ProviderHarness> harness;
    std::shared_ptr<platform::ScreenCapture> screen;
    std::unique_ptr<dispatch::SerialQueue> queue;
    std::shared_ptr<platform::CaptureStream> stream;
    platform::Display display;
};

TEST_P(ScreenCaptureContract, SystemAudioStreamDeliversFloatBuffersBetweenStartAndStop) {
    platform::StreamConfiguration config{.width = 16, .height = 16};
    config.pixelFormat = platform::PixelFormat::yuv420v;
    config.capturesAudio = config.excludesCurrentProcessAudio = true;
    stream = screen->makeStream(screen->makeFilter(display), config, [](const auto&) {});
    EXPECT_EQ(stream->configuration(), config);

    Recorder<std::shared_ptr<const platform::SampleBuffer>> buffers;
    ASSERT_FALSE(stream->addAudioOutput([&](auto b) { buffers.add(std::move(b)); }, queue->ref()));

    ASSERT_THAT(start(), testing::ElementsAre(std::nullopt));
    ASSERT_TRUE(harness->waitUntil([&] { return buffers.size() >= 2; }, 5));
    for (const auto& b : buffers.values()) {
        auto d = b->streamDescription();
        ASSERT_TRUE(d);
        EXPECT_EQ(std::tuple(d->sampleRate, d->channelsPerFrame, d->isFloat),
                  std::tuple(48000.0, 2u, true));
        EXPECT_GT(b->frameCount(), 0);
    }

    EXPECT_THAT(complete([&](auto done) { stream->stopCapture(done); }),
                testing::ElementsAre(std::nullopt));
    const std::size_t afterStop = buffers.size();
    harness->pass(0.5);
    EXPECT_EQ(buffers.size(), afterStop);
    stream.reset();
}

TEST_P(ScreenCaptureContract, ScreenStreamOfADisplayDeliversImagesOfTheConfiguredSizeInTimeOrder) {
    EXPECT_NE(display.displayId, 0u);
    EXPECT_TRUE(display.width > 0 && display.height > 0);
    const auto filter = screen->makeFilter(display);
    EXPECT_GT(filter.pointPixelScale, 0);
    EXPECT_TRUE(filter.contentRect.width > 0 && filter.contentRect.height > 0);

    stream = screen->makeStream(
        filter, {.width = 320, .height = 180, .minimumFrameInterval = {1, 10}, .scalesToFit = true},
        [](const auto&) {});
    Recorder<platform::ScreenSample> samples;
    ASSERT_FALSE(stream->addScreenOutput([&](const auto& s) { samples.add(s); }, queue->ref()));
    ASSERT_EQ(start().size(), 1u);
    ASSERT_TRUE(harness->waitUntil([&] { return samples.size() >= 3; }, 5));

    double last = -1;
    for (const auto& s : samples.values()) {
        if (!s.isValid || !s.image)
            continue;
        EXPECT_EQ(std::pair(s.image->width(), s.image->height()), std::pair(320u, 180u));
        EXPECT_GT(s.presentationTime.seconds(), last);
        last = s.presentationTime.seconds();
    }

    // A filter update of the running stream completes once.
    EXPECT_THAT(complete([&](auto done) { stream->updateContentFilter(filter, done); }),
                testing::ElementsAre(std::nullopt));

    // After the output is removed nothing more arrives.
    EXPECT_FALSE(stream->removeOutput(platform::StreamOutputType::screen));
    harness->pass(0.3);
    const std::size_t afterRemoval = samples.size();
    harness->pass(0.5);
    EXPECT_EQ(samples.size(), afterRemoval);
}

TEST_P(ScreenCaptureContract, ScreenshotHasTheConfiguredSize) {
    const auto shots = harness->answers<platform::Result<platform::Image>>([&](auto done) {
        screen->screenshot(screen->makeFilter(display), {.width = 200, .height = 100}, done);
    });
    ASSERT_EQ(shots.size(), 1u);
    const auto& shot = shots.front();
    ASSERT_TRUE(shot.ok()) << shot.error().description();
    EXPECT_EQ(std::pair(shot.value().width(), shot.value().height()), std::pair(200u, 100u));
}

}  // namespace ostrovane::contract
