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
    friend void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }
};

// Orange, 255,128,0: 10-bit green 514, 6-bit 32 and 5-bit 16 are the
// nearest of their depth to 128. Padding and alpha bytes are 0x40.
const LayoutCase kCases[] = {
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

INSTANTIATE_TEST_SUITE_P(Layouts, ImagePixels, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrovane::platform
