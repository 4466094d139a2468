#include "platform/audio/AudioFormat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "platform/audio/PcmBuffer.h"

namespace ostrovane::platform {
namespace {

// rate, channels, bits, float, signed integer, non-interleaved
StreamDescription describe(double rate, std::uint32_t channels, std::uint32_t bits, bool isFloat,
                           bool nonInterleaved = false) {
    return {rate, channels, bits, isFloat, !isFloat, nonInterleaved};
}

TEST(AudioFormatTest, DescribesTheSampleTypesCapturedBuffersUseComparedWithoutTheLayout) {
    const std::pair<StreamDescription, CommonFormat> cases[] = {
        {describe(48000, 2, 32, true), CommonFormat::pcmFloat32},
        {describe(44100, 2, 32, true, true), CommonFormat::pcmFloat32},
        {describe(16000, 1, 16, false), CommonFormat::pcmInt16},
        {describe(96000, 2, 32, false, true), CommonFormat::pcmInt32},
        {describe(48000, 1, 64, true), CommonFormat::pcmFloat64},
    };
    for (const auto& [description, expected] : cases) {
        const auto format = AudioFormat::fromStreamDescription(description);
        ASSERT_TRUE(format.has_value());
        EXPECT_EQ(*format,
                  AudioFormat(expected, description.sampleRate, description.channelsPerFrame,
                              !description.isNonInterleaved));
        EXPECT_EQ(format->bytesPerFrame(), description.bytesPerFrame());
        EXPECT_EQ(AudioFormat::fromStreamDescription(format->streamDescription()), format);
    }

    // The pipeline's comparison ignores only the layout.
    const AudioFormat interleaved(CommonFormat::pcmFloat32, 48000, 2, true);
    EXPECT_NE(interleaved, AudioFormat(CommonFormat::pcmFloat32, 48000, 2, false));
    EXPECT_TRUE(sameRateChannelsAndRepresentation(
        interleaved, AudioFormat(CommonFormat::pcmFloat32, 48000, 2, false)));
    EXPECT_FALSE(sameRateChannelsAndRepresentation(
        interleaved, AudioFormat(CommonFormat::pcmFloat32, 44100, 2, true)));
    EXPECT_FALSE(sameRateChannelsAndRepresentation(
        interleaved, AudioFormat(CommonFormat::pcmInt16, 48000, 2, true)));
}

TEST(AudioFormatTest, RefusesDescriptionsItCannotWorkWith) {
    StreamDescription nonPcm = describe(48000, 2, 32, true);
    nonPcm.isLinearPcm = false;
    StreamDescription unsignedInt = describe(48000, 2, 16, false);
    unsignedInt.isSignedInteger = false;
    for (const StreamDescription& d :
         {describe(0, 2, 32, true), describe(-48000, 2, 32, true),
          describe(std::nan(""), 2, 32, true), describe(48000, 0, 32, true),
          describe(48000, 4, 32, true),  // no layout beyond stereo
          describe(48000, 2, 16, true), describe(48000, 2, 24, false), describe(48000, 1, 8, false),
          nonPcm, unsignedInt}) {
        EXPECT_EQ(AudioFormat::fromStreamDescription(d), std::nullopt)
            << d.sampleRate << " Hz " << d.channelsPerFrame << " ch " << d.bitsPerChannel << " bit";
    }
    EXPECT_EQ(AudioFormat::make(CommonFormat::otherFormat, 48000, 2, true), std::nullopt);
    EXPECT_THROW(AudioFormat(CommonFormat::pcmInt16, 48000, 0, true), std::invalid_argument);
}

// What a capture copy writes through: one plane of all channels when
// interleaved, aligned zeroed planes per channel otherwise.
TEST(PcmBufferTest, BufferListsCoverTheFrameLengthOfEveryPlane) {
    PcmBuffer interleaved(AudioFormat(CommonFormat::pcmInt16, 48000, 2, true), 960);
    EXPECT_EQ(interleaved.int16ChannelData(1), nullptr);
    interleaved.setFrameLength(5000);  // clamped to the capacity
    EXPECT_EQ(interleaved.planeBytes(0).size(), 3840u);
    interleaved.setFrameLength(10);
    AudioBufferList list = interleaved.audioBufferList();
    ASSERT_EQ(list.buffers.size(), 1u);
    EXPECT_EQ(list.buffers[0].numberChannels, 2u);
    ASSERT_EQ(list.buffers[0].data.size(), 40u);
    list.buffers[0].data[2] = std::byte{0x34};
    list.buffers[0].data[3] = std::byte{0x12};
    EXPECT_EQ(interleaved.int16ChannelData(0)[1], 0x1234);  // right channel of frame 0

    PcmBuffer planar(AudioFormat(CommonFormat::pcmFloat32, 44100, 2, false), 441);
    float* right = planar.floatChannelData(1);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(right) % 16, 0u);
    EXPECT_TRUE(std::all_of(right, right + 441, [](float s) { return s == 0; }));
    planar.setFrameLength(100);
    list = planar.audioBufferList();
    ASSERT_EQ(list.buffers.size(), 2u);
    EXPECT_EQ(list.buffers[1].numberChannels, 1u);
    EXPECT_EQ(list.buffers[1].data.size(), 400u);
    EXPECT_EQ(list.buffers[1].data.data(), reinterpret_cast<std::byte*>(right));
}

}  // namespace
}  // namespace ostrovane::platform
