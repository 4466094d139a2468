#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/AudioProtocol.h"
#include "protocol/FrameWriter.h"

namespace ostrovane::protocol {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using FrameType = AudioProtocol::FrameType;

std::vector<std::uint8_t> samplesLE(std::initializer_list<std::int16_t> samples) {
    std::vector<std::uint8_t> bytes;
    for (const auto sample : samples) {
        const auto raw = static_cast<std::uint16_t>(sample);
        bytes.push_back(static_cast<std::uint8_t>(raw & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(raw >> 8));
    }
    return bytes;
}

// Frame types 1 to 3 alone are known.
TEST(FrameEncodingTest, BothHeadersMatchTheDocumentedLayoutOfTheThreeKnownTypes) {
    EXPECT_EQ(AudioProtocol::frameType(1), FrameType::mic);
    EXPECT_EQ(AudioProtocol::frameType(2), FrameType::system);
    EXPECT_EQ(AudioProtocol::frameType(3), FrameType::video);
    for (const int raw : {0, 4, 0x41, 255})
        EXPECT_FALSE(AudioProtocol::frameType(static_cast<std::uint8_t>(raw))) << raw;

    const std::vector<std::uint8_t> pcm(3840, 0xAB);
    const auto frame = encodeAudioFrame(FrameType::mic, 48000, 2, 16, 0.5, pcm, 7);

    ASSERT_EQ(frame.size(), 24u + 3840u);
    EXPECT_THAT(
        std::vector(frame.begin(), frame.begin() + 24),
        ElementsAre(0x41, 0x50, 0x4C, 0x44, 0x01, 0x01, 0x80, 0xBB, 0x02, 0x10, 0xFF, 0x7F, 0x00,
                    0x0F, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00));
    EXPECT_THAT(std::vector(frame.begin() + 24, frame.end()), ElementsAreArray(pcm));

    const std::vector<std::uint8_t> nal{0, 0, 0, 1, 0x65, 0x88};
    const auto key = encodeVideoFrame(1920, 1080, 10, true, 0x0102030405060708, nal, 0x0A0B0C0D);

    EXPECT_THAT(key, ElementsAre(0x41, 0x50, 0x4C, 0x44, 0x02, 0x03,  // magic, version, type
                                 0x80, 0x07, 0x38, 0x04, 0x0A, 0x01,  // 1920x1080@10, key
                                 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // pts
                                 0x06, 0x00, 0x00, 0x00,                          // payload length
                                 0x0D, 0x0C, 0x0B, 0x0A,                          // sequence
                                 0x00, 0x00, 0x00, 0x00,                          // reserved
                                 0, 0, 0, 1, 0x65, 0x88));
}

TEST(LevelFromRmsTest, ScalesTruncatesAndSaturates) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<double, int> cases[] = {
        {0.0, 0},     {0.5, 32767}, {0.99999999, 65534}, {1.0, 65535}, {1.2, 65535},
        {inf, 65535}, {-0.3, 0},    {-inf, 0},           {nan, 65535}, {-nan, 65535}};
    for (const auto& [rms, level] : cases)
        EXPECT_EQ(levelFromRms(rms), level) << rms;
}

// Little-endian 16-bit samples, a trailing odd byte ignored; RMS, not the
// mean absolute value; negative full scale reads above 1 (its level saturates).
TEST(CalculateRmsTest, IsTheRootMeanSquareOfWholeLittleEndianSamples) {
    auto withOddByte = samplesLE({16384, -16384});
    withOddByte.push_back(0x7F);
    const std::pair<std::vector<std::uint8_t>, double> cases[] = {
        {{}, 0.0},
        {{0x7F}, 0.0},
        {std::vector<std::uint8_t>(3840, 0), 0.0},
        {samplesLE({32767}), 1.0},
        {samplesLE({32767, -32767, 32767, -32767}), 1.0},
        {samplesLE({-32768, -32768}), 32768.0 / 32767.0},
        {{0x01, 0x00}, 1.0 / 32767.0},
        {withOddByte, 16384.0 / 32767.0},
        {samplesLE({30000, 0}), std::sqrt((30000.0 / 32767.0) * (30000.0 / 32767.0) / 2.0)},
    };
    for (const auto& [bytes, rms] : cases)
        EXPECT_DOUBLE_EQ(calculateRMSInt16(bytes), rms) << bytes.size() << " bytes";
}

}  // namespace
}  // namespace ostrovane::protocol
