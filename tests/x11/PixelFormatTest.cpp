// Server pixels of every layout an X server may send become the same BGRA.
#include <gtest/gtest.h>

#include <vector>

#include "platform/image/PixelFormat.h"

namespace ostrovane::platform {
namespace {

struct LayoutCase {
    const char* name;
    PixelLayout layout;
    std::vector<std::uint8_t> pixel;  // one pixel as the server sends it
    std::uint32_t rgb;                // what it shows; 0: refused
};

// Orange, 255,128,0, in each layout: 10-bit green 514 and 6-bit green 32
// are the nearest of their depth to 128.
const LayoutCase kCases[] = {
    {"Depth24", {32, 0xFF0000, 0xFF00, 0xFF, false}, {0x00, 0x80, 0xFF, 0x00}, 0xFF8000},
    {"Depth24MsbFirst", {32, 0xFF0000, 0xFF00, 0xFF, true}, {0x00, 0xFF, 0x80, 0x00}, 0xFF8000},
    {"Depth24Bgr", {32, 0xFF, 0xFF00, 0xFF0000, false}, {0xFF, 0x80, 0x00, 0x00}, 0xFF8000},
    {"Depth32AlphaIgnored",
     {32, 0xFF0000, 0xFF00, 0xFF, false},
     {0x00, 0x80, 0xFF, 0x40},
     0xFF8000},
    {"Depth24Packed", {24, 0xFF0000, 0xFF00, 0xFF, false}, {0x00, 0x80, 0xFF}, 0xFF8000},
    // (1023 << 20) | (514 << 10)
    {"Depth30", {32, 0x3FF00000, 0xFFC00, 0x3FF, false}, {0x00, 0x08, 0xF8, 0x3F}, 0xFF8000},
    {"Depth30MsbFirst", {32, 0x3FF00000, 0xFFC00, 0x3FF, true}, {0x3F, 0xF8, 0x08, 0x00}, 0xFF8000},
    // (31 << 11) | (32 << 5): 32 of 63 is 130 of 255
    {"Depth16", {16, 0xF800, 0x7E0, 0x1F, false}, {0x00, 0xFC}, 0xFF8200},
    {"Depth16MsbFirst", {16, 0xF800, 0x7E0, 0x1F, true}, {0xFC, 0x00}, 0xFF8200},
    {"Depth15", {16, 0x7C00, 0x3E0, 0x1F, false}, {0x00, 0x7E}, 0xFF8400},
    {"EightBitsRefused", {8, 0xE0, 0x1C, 0x03, false}, {0xFC}, 0},
    {"SplitMaskRefused", {32, 0xF0F000, 0xF00, 0xF, false}, {0, 0, 0, 0}, 0},
    {"OverlapRefused", {32, 0xFF0000, 0xFFFF00, 0xFF, false}, {0, 0, 0, 0}, 0},
    {"MaskOutsidePixelRefused", {16, 0xF0000, 0x7E0, 0x1F, false}, {0, 0}, 0},
    {"NoBlueRefused", {32, 0xFF0000, 0xFF00, 0, false}, {0, 0, 0, 0}, 0},
};

class ImagePixels : public testing::TestWithParam<LayoutCase> {};

TEST_P(ImagePixels, EveryPixelOfEveryRowComesOutOpaqueInItsColour) {
    const LayoutCase& c = GetParam();
    // 3 × 2 pixels, each row padded to 16 bytes with bytes that must not show.
    constexpr std::uint32_t kWidth = 3, kHeight = 2, kStride = 16;
    std::vector<std::uint8_t> rows(kStride * kHeight, 0xA5);
    for (std::uint32_t y = 0; y < kHeight; ++y) {
        for (std::uint32_t x = 0; x < kWidth; ++x)
            std::copy(c.pixel.begin(), c.pixel.end(),
                      rows.begin() + y * kStride + x * c.pixel.size());
    }
    Image image(1, 1);
    const bool converted = toBgra(rows.data(), kStride, kWidth, kHeight, c.layout, image);
    ASSERT_EQ(converted, c.rgb != 0);
    if (!converted) {
        EXPECT_EQ(image.width(), 1u);  // left as it was
        return;
    }
    ASSERT_EQ(image.width(), kWidth);
    ASSERT_EQ(image.height(), kHeight);
    for (std::uint32_t y = 0; y < kHeight; ++y) {
        for (std::uint32_t x = 0; x < kWidth; ++x) {
            const std::uint8_t* p = image.row(y) + x * 4;
            EXPECT_EQ((std::uint32_t{p[2]} << 16) | (p[1] << 8) | p[0], c.rgb) << x << "," << y;
            EXPECT_EQ(p[3], 0xFF);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ImagePixels, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrovane::platform
