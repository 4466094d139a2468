#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "dispatch/ManualClock.h"
#include "sources/test/SyntheticAudioSource.h"
#include "support/MemoryChannels.h"

namespace ostrovane::sources {
namespace {

using protocol::AudioProtocol;
using ::testing::Each;
using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kMic = AudioProtocol::FrameType::mic;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct SyntheticFixture : ::testing::Test {
    dispatch::ManualClock clock;
    test::MemoryChannels out;
    std::mutex mutex;
    std::vector<Bytes> _frames;

    std::shared_ptr<SyntheticAudioSource> make(SyntheticPattern pattern,
                                               AudioProtocol::FrameType type = kMic) {
        return wire(SyntheticAudioSource::create(std::move(pattern), type, clock, out.text(), 42));
    }
    std::shared_ptr<SyntheticAudioSource> wire(std::shared_ptr<SyntheticAudioSource> source) {
        source->setOnAudioData([this](std::span<const std::uint8_t> chunk) {
            std::lock_guard lock(mutex);
            _frames.emplace_back(chunk.begin(), chunk.end());
        });
        return source;
    }
    // Left channel of every frame delivered so far, checking right == left.
    std::vector<std::int16_t> samples() {
        std::lock_guard lock(mutex);
        std::vector<std::int16_t> left;
        for (const auto& f : _frames) {
            EXPECT_EQ(f.size(), 3840u);
            for (std::size_t i = 0; i + 3 < f.size(); i += 4) {
                EXPECT_EQ(f[i], f[i + 2]);
                EXPECT_EQ(f[i + 1], f[i + 3]);
                left.push_back(static_cast<std::int16_t>(f[i] | f[i + 1] << 8));
            }
        }
        return left;
    }
    std::vector<std::int16_t> firstFrame(SyntheticPattern pattern) {
        auto source = make(std::move(pattern));
        source->start({});
        clock.settle();
        source->stop({});
        clock.settle();
        auto s = samples();
        {
            std::lock_guard lock(mutex);
            _frames.clear();
        }
        return s;
    }
};

TEST_F(SyntheticFixture, DcSineAndSquareFollowTheirFormulas) {
    auto dc = firstFrame(pattern::Dc{0.5});
    EXPECT_THAT(dc, Each(16383));
    EXPECT_THAT(firstFrame(pattern::Dc{2.0}), Each(32767));
    EXPECT_THAT(firstFrame(pattern::Dc{-2.0}), Each(-32768));

    auto sine = firstFrame(pattern::Sine{1000.0, 1.0});
    EXPECT_EQ(sine[0], 0);
    EXPECT_EQ(sine[12], 32767);  // a quarter period at 48 kHz
    EXPECT_EQ(sine[24], 0);

    auto square = firstFrame(pattern::Square{1000.0, 0.25});
    for (int i = 0; i < 96; ++i)
        ASSERT_EQ(square[i], (i % 48) < 24 ? 8191 : -8191) << i;

    EXPECT_THAT(firstFrame(pattern::Silence{}), Each(0));
    EXPECT_THAT(firstFrame(pattern::Custom{[](std::int64_t n) { return std::int16_t(n % 7); }})[13],
                6);
}

TEST_F(SyntheticFixture, ExpectedLevelsAndDescriptions) {
    const auto tone = SyntheticAudioSource::testTone(1.0, kMic, clock, out.text());
    EXPECT_DOUBLE_EQ(tone->expectedRMS(), 0.7071067811865475);
    EXPECT_EQ(describe(tone->pattern()), "sine(1000Hz, 1.000)");
    EXPECT_DOUBLE_EQ(
        SyntheticAudioSource::withTargetRMS(0.5, kMic, clock, out.text())->expectedRMS(), 0.5);
    EXPECT_EQ(SyntheticAudioSource::silence(kMic, clock, out.text())->expectedRMS(), 0.0);
    EXPECT_EQ(expectedRMS(pattern::Custom{}), -1.0);
    EXPECT_EQ(describe(pattern::Square{440.9, 0.25}), "square(440Hz, 0.250)");
    EXPECT_EQ(describe(pattern::Noise{0.1}), "noise(rms=0.100)");
    EXPECT_EQ(describe(pattern::Dc{-0.0005}), "dc(-0.001)");
}

TEST_F(SyntheticFixture, PatternsWithoutADefinedSignalGenerateSilenceInsteadOfGarbage) {
    for (const SyntheticPattern& p : std::vector<SyntheticPattern>{
             pattern::Dc{kNaN}, pattern::Sine{kInf, 0.5}, pattern::Sine{1000, kNaN},
             pattern::Square{0.0, 0.5}, pattern::Square{96000.0, 0.5}, pattern::Square{-5, 0.5},
             pattern::Noise{kInf}}) {
        EXPECT_FALSE(isGenerable(p)) << describe(p);
        EXPECT_EQ(expectedRMS(p), 0.0);
        EXPECT_THAT(firstFrame(p), Each(0)) << describe(p);
    }
    EXPECT_EQ(describe(pattern::Sine{kInf, kNaN}), "sine(infHz, nan)");
    EXPECT_TRUE(test::hasLine(
        out.lines(),
        "SyntheticAudioSource[synthetic_mic]: pattern noise(rms=inf) has no defined signal, "
        "generating silence"));
    // Extreme but finite values are defined: clamped, never undefined.
    EXPECT_THAT(firstFrame(pattern::Dc{1e300}), Each(32767));
    auto slow = firstFrame(pattern::Square{1e-300, 1.0});
    EXPECT_THAT(slow, Each(32767));
    EXPECT_TRUE(isGenerable(pattern::Square{48000.0, 1.0}));  // period 1, half 0
    EXPECT_THAT(firstFrame(pattern::Square{48000.0, 1.0}), Each(-32767));
}

TEST_F(SyntheticFixture, NoiseStaysWithinItsBoundAndNearItsLevel) {
    auto noise = firstFrame(pattern::Noise{0.1});
    double sum = 0;
    for (auto s : noise) {
        ASSERT_LE(std::abs(s), 3.72 * 0.1 * 32767);
        sum += double(s) * s;
    }
    EXPECT_NEAR(std::sqrt(sum / noise.size()) / 32767, 0.1, 0.02);
}

TEST_F(SyntheticFixture, PacesFramesKeepsTheIndexAcrossFramesAndRestartsAtZero) {
    auto source = make(pattern::Custom{[](std::int64_t n) { return std::int16_t(n & 0x7FFF); }},
                       AudioProtocol::FrameType::system);
    source->start({});
    source->start({});  // quiet, and the index runs on
    clock.advance(dispatch::milliseconds(40));
    auto s = samples();
    ASSERT_EQ(s.size(), 3u * 960);
    for (std::size_t i = 0; i < s.size(); ++i)
        ASSERT_EQ(s[i], static_cast<std::int16_t>(i)) << i;
    source->stop({});
    clock.advance(dispatch::milliseconds(100));
    EXPECT_EQ(samples().size(), 3u * 960);
    source->start({});
    clock.settle();
    EXPECT_EQ(samples()[3 * 960], 0);
    source->stop({});
    // The woken loop writes its last line on its own thread.
    for (int i = 0; i < 400 && test::linesStartingWith(
                                   out.lines(), "SyntheticAudioSource[synthetic_system]: emitted")
                                       .size() < 2;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto lines =
        test::linesStartingWith(out.lines(), "SyntheticAudioSource[synthetic_system]: ");
    // The loop's last line and stop()'s line may come in either order.
    EXPECT_THAT(lines, ::testing::UnorderedElementsAre(
                           "SyntheticAudioSource[synthetic_system]: started with pattern custom",
                           "SyntheticAudioSource[synthetic_system]: stopped",
                           "SyntheticAudioSource[synthetic_system]: emitted 3 frames",
                           "SyntheticAudioSource[synthetic_system]: started with pattern custom",
                           "SyntheticAudioSource[synthetic_system]: stopped",
                           "SyntheticAudioSource[synthetic_system]: emitted 1 frames"));
}

}  // namespace
}  // namespace ostrovane::sources
