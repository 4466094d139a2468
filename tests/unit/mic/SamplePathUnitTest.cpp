#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

#include "platform/audio/PcmBuffer.h"
#include "platform/sim/SimSampleBuffer.h"
#include "sources/mic/MicPcmConversion.h"
#include "sources/mic/MicRms.h"

namespace ostrovane::sources::mic {
namespace {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::PcmBuffer;
using platform::StreamDescription;

double sine(std::int64_t i) {
    return 0.5 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(i) / 48000);
}

// Constant levels in every layout are measured by the microphone sampler's
// tests; here the channels differ, so each must be read where it lies.
TEST(MicRmsTest, LayoutsAgree) {
    // The same stereo signal (left a sine, right a quarter of it) as planar
    // float, interleaved 16-bit and interleaved 32-bit.
    const std::uint32_t frames = 960;
    PcmBuffer planar(AudioFormat(CommonFormat::pcmFloat32, 48000, 2, false), frames);
    PcmBuffer packed16(AudioFormat(CommonFormat::pcmInt16, 48000, 2, true), frames);
    PcmBuffer packed32(AudioFormat(CommonFormat::pcmInt32, 48000, 2, true), frames);
    for (auto* b : {&planar, &packed16, &packed32})
        b->setFrameLength(frames);
    double sum = 0;
    for (std::uint32_t i = 0; i < frames; ++i) {
        const double left = sine(i), right = sine(i) / 4;
        const auto l16 = static_cast<std::int16_t>(std::lround(left * 32768));
        const auto r16 = static_cast<std::int16_t>(std::lround(right * 32768));
        planar.floatChannelData(0)[i] = static_cast<float>(l16 / 32768.0);
        planar.floatChannelData(1)[i] = static_cast<float>(r16 / 32768.0);
        packed16.int16ChannelData(0)[2 * i] = l16;
        packed16.int16ChannelData(0)[2 * i + 1] = r16;
        packed32.int32ChannelData(0)[2 * i] = l16 * 65536;
        packed32.int32ChannelData(0)[2 * i + 1] = r16 * 65536;
        sum += (l16 / 32768.0) * (l16 / 32768.0) + (r16 / 32768.0) * (r16 / 32768.0);
    }
    const double expected = std::sqrt(sum / (2.0 * frames));
    EXPECT_NEAR(rmsOf(planar), expected, 1e-9);
    EXPECT_NEAR(rmsOf(packed16), expected, 1e-12);
    EXPECT_NEAR(rmsOf(packed32), expected, 1e-12);
}

// Four interleaved 16-bit channels: channel c of frame i holds 1000 * c + i.
const StreamDescription kQuad{48000, 4, 16, false, true, false, true, true};
std::vector<std::byte> quadBytes(std::int64_t frames) {
    std::vector<std::byte> bytes(static_cast<std::size_t>(frames) * 8);
    for (std::int64_t i = 0; i < frames; ++i) {
        for (int c = 0; c < 4; ++c) {
            const auto v = static_cast<std::int16_t>(1000 * c + i);
            std::memcpy(bytes.data() + i * 8 + c * 2, &v, 2);
        }
    }
    return bytes;
}

// Interleaved, channel 0 comes from every stride offset; planar, it is the
// first plane.
TEST(MonoFallbackTest, ChannelZeroIsReadAtEachFramesStrideOrFromTheFirstPlane) {
    const auto bytes = quadBytes(512);
    std::vector<std::byte> out(1024);
    ASSERT_FALSE(extractChannelZero(kQuad, 512, bytes, out));
    for (int i = 0; i < 512; ++i) {
        std::int16_t v;
        std::memcpy(&v, out.data() + 2 * i, 2);
        ASSERT_EQ(v, i) << "frame " << i;  // read at byte offset 8 * i
    }
    EXPECT_EQ(extractChannelZero(kQuad, 513, bytes, std::span(out).first(1024)),
              "No destination buffer data pointer");
    std::vector<std::byte> larger(2048);
    EXPECT_EQ(extractChannelZero(kQuad, 513, bytes, larger),
              "Block buffer too small for interleaved extraction");

    const StreamDescription planar{44100, 3, 32, true, false, true, true, true};
    std::vector<float> planes(3 * 100);
    for (int i = 0; i < 300; ++i)
        planes[i] = static_cast<float>(i);
    std::span<const std::byte> block(reinterpret_cast<const std::byte*>(planes.data()), 1200);
    ASSERT_FALSE(extractChannelZero(planar, 100, block, std::span(out).first(400)));
    EXPECT_EQ(std::memcmp(out.data(), planes.data(), 400), 0);
    EXPECT_EQ(extractChannelZero(planar, 100, block.first(399), std::span(out).first(400)),
              "Block buffer too small: 399 < 400");
}

TEST(MonoFallbackTest, ConversionTakesChannelZeroOfAnUndescribableLayout) {
    platform::sim::SimSampleBuffer buffer(kQuad, true, 512, quadBytes(512), {});
    std::vector<std::string> lines;
    int fallbacks = 0;
    PcmConversionHooks hooks{[&](const std::string& l) { lines.push_back(l); },
                             [&](const StreamDescription&) { ++fallbacks; }};
    auto pcm = convertToPcmBuffer(buffer, hooks);
    ASSERT_TRUE(pcm);
    EXPECT_EQ(fallbacks, 1);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(pcm->format(), AudioFormat(CommonFormat::pcmInt16, 48000, 1, true));
    ASSERT_EQ(pcm->frameLength(), 512u);
    EXPECT_EQ(pcm->int16ChannelData(0)[300], 300);

    // Two channels the platform cannot describe (24-bit): no fallback.
    const StreamDescription stereo24{48000, 2, 24, false, true, false, true, true};
    platform::sim::SimSampleBuffer odd(stereo24, true, 10, std::vector<std::byte>(60), {});
    EXPECT_FALSE(convertToPcmBuffer(odd, hooks));
    EXPECT_EQ(fallbacks, 1);

    // Three 24-bit channels: the fallback is taken, the mono format is refused.
    const StreamDescription tri24{48000, 3, 24, false, true, false, true, true};
    platform::sim::SimSampleBuffer tri(tri24, true, 10, std::vector<std::byte>(90), {});
    EXPECT_FALSE(convertToPcmBuffer(tri, hooks));
    EXPECT_EQ(fallbacks, 2);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Failed to create mono AVAudioFormat for 48000.0Hz/24bit");

    // No data block at all.
    platform::sim::SimSampleBuffer blockless(kQuad, true, 512, quadBytes(512), {}, false);
    EXPECT_FALSE(convertToPcmBuffer(blockless, hooks));
    EXPECT_EQ(lines.back(), "No block buffer in sample buffer");
}

}  // namespace
}  // namespace ostrovane::sources::mic
