#include <gmock/gmock.h>

#include <cmath>
#include <cstring>
#include <numbers>

#include "integration/system/SystemAudioFixture.h"
#include "platform/sim/SimSampleBuffer.h"

namespace ostrovane::sources::system::testing {
namespace {

using platform::StreamDescription;
using platform::sim::BufferSlot;
using platform::sim::SampleGenerator;
using platform::sim::SimSampleBuffer;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::SizeIs;

std::vector<std::int16_t> samplesOf(const std::vector<std::uint8_t>& chunk) {
    std::vector<std::int16_t> out(chunk.size() / 2);
    std::memcpy(out.data(), chunk.data(), out.size() * 2);
    return out;
}

// Buffers in a layout of the test's choosing, each sample from `value`.
SampleGenerator generator(StreamDescription layout, std::int64_t frames,
                          std::function<double(std::int64_t frame, std::size_t channel)> value,
                          bool described = true) {
    return [=](const BufferSlot& slot) -> std::shared_ptr<const platform::SampleBuffer> {
        const std::int64_t first = slot.index * frames;
        return std::make_shared<SimSampleBuffer>(
            layout, described, frames,
            platform::sim::renderPcm(
                layout, frames, [&](std::int64_t i, std::size_t c) { return value(first + i, c); }),
            slot.presentationTime);
    };
}

constexpr StreamDescription kPlanarFloat48k{48000, 2, 32, true, false, true, true, true};

using SystemAudioSamplePathTest = SystemAudioFixture;

// Float samples are scaled, integer samples taken for what they are (not
// reinterpreted as float); both come out as interleaved 16-bit chunks of the
// buffer's length.
TEST_F(SystemAudioSamplePathTest, FloatAndIntegerAudioBecomeInterleavedInt16ChunksOfTheSameLength) {
    const double step = 2 * std::numbers::pi * 440 / 48000;
    const std::pair<StreamDescription, std::function<double(std::int64_t, std::size_t)>> cases[] = {
        {kPlanarFloat48k,
         [step](std::int64_t i, auto) { return 0.1 * std::sin(step * double(i)); }},
        {{48000, 2, 16, false, true, false, true, true},
         [](std::int64_t i, std::size_t c) {
             return (c == 0 ? 1.0 : -1.0) * double(i % 100) / 32768.0;
         }},
    };
    double uptime = 0;
    for (const auto& [layout, value] : cases) {
        sim.setSystemAudio(generator(layout, 960, value), 960);
        chunks.clear();
        ASSERT_EQ(start(), "ok");
        advanceTo(uptime += 0.1);  // five 960-frame buffers
        const auto all = chunks.values();
        ASSERT_THAT(all, SizeIs(5));
        ASSERT_THAT(all, Each(SizeIs(960 * 4)));
        for (std::size_t k = 0; k < all.size(); ++k) {
            const auto samples = samplesOf(all[k]);
            for (std::size_t i = 0; i < 2 * 960; ++i) {
                const auto sample = static_cast<float>(value(std::int64_t(k * 960 + i / 2), i % 2));
                ASSERT_EQ(samples[i],
                          static_cast<std::int16_t>(std::lrint(double(sample) * 32768.0)))
                    << "chunk " << k << " sample " << i;
            }
        }
        EXPECT_TRUE(stop());
    }
}

TEST_F(SystemAudioSamplePathTest, ResampledOutputNeverExceedsTheExactCapacity) {
    EXPECT_EQ(SystemAudioConversion::outputCapacity(48000, 480, 44100), 523u);
    EXPECT_EQ(SystemAudioConversion::outputCapacity(48000, 960, 48000), 960u);

    sim.setSystemAudio(
        generator({44100, 2, 32, true, false, true, true, true}, 480,
                  [](std::int64_t i, std::size_t) {
                      return 0.2 * std::sin(2 * std::numbers::pi * 1000 * double(i) / 44100);
                  }),
        480);
    ASSERT_EQ(start(), "ok");
    advanceTo(1.0);  // 100 buffers of 480 frames at 44.1 kHz

    auto all = chunks.values();
    ASSERT_GE(all.size(), 100u);
    std::size_t total = 0;
    bool sawEmpty = false;
    for (const auto& chunk : all) {
        EXPECT_LE(chunk.size(), 523u * 4);
        EXPECT_EQ(chunk.size() % 4, 0u);
        sawEmpty = sawEmpty || chunk.empty();
        total += chunk.size() / 4;
    }
    // Everything but the resampler's delay (under 1000 frames) comes out:
    // 100 · 480 · 48000 / 44100 = 52245 frames. Priming chunks are passed on
    // empty rather than dropped.
    EXPECT_TRUE(sawEmpty);
    EXPECT_GT(total, 52245u - 1000);
    EXPECT_LE(total, 52245u);
}

TEST_F(SystemAudioSamplePathTest, BadBuffersAreDroppedButStillCountAsLife) {
    sim.setSystemAudio(generator(
                           kPlanarFloat48k, 960, [](auto, auto) { return 0.5; }, false),
                       960);
    ASSERT_EQ(start(), "ok");
    advanceTo(0.04);
    EXPECT_TRUE(chunks.values().empty());
    // The stream is alive even though its buffers are useless: no stall.
    EXPECT_DOUBLE_EQ(*source->status().lastCallbackAt, 0.04);

    const StreamDescription int24{48000, 2, 24, false, true, true, true, true};
    sim.setSystemAudio(generator(int24, 960, [](auto, auto) { return 0.5; }), 960);
    advanceTo(0.06);
    EXPECT_TRUE(chunks.values().empty());
    EXPECT_DOUBLE_EQ(*source->status().lastCallbackAt, 0.06);

    // A buffer without frames counts but produces nothing.
    sim.setSystemAudio(generator(kPlanarFloat48k, 0, [](auto, auto) { return 0.0; }), 960);
    advanceTo(0.08);
    EXPECT_TRUE(chunks.values().empty());
    EXPECT_EQ(source->status().callbackCount, 2);
}

}  // namespace
}  // namespace ostrovane::sources::system::testing
