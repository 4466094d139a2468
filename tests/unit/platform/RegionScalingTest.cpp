#include <gtest/gtest.h>

#include "platform/image/ImageScaling.h"

namespace ostrovane::platform {
namespace {

// A picture whose every pixel differs from its neighbours, so that a pixel
// computed from the wrong source area shows.
Image pattern(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    Image image(width, height);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint8_t* p = image.row(y) + std::size_t{x} * 4;
            p[0] = std::uint8_t(x * 7 + y * 13 + seed);
            p[1] = std::uint8_t(x * 3 ^ y * 5 ^ seed);
            p[2] = std::uint8_t((x + seed) * (y + 1));
            p[3] = 255;
        }
    }
    return image;
}

struct RegionCase {
    const char* name;
    ImageSize source;
    ImageSize destination;
    bool fit;
    PixelRect changed;
};

class RegionScaling : public ::testing::TestWithParam<RegionCase> {};

// The scaled picture after a change redone region by region is the scaled
// picture of the changed source, pixel for pixel.
TEST_P(RegionScaling, RedoingTheChangedRegionGivesTheWholeScale) {
    const RegionCase& c = GetParam();
    const Image before = pattern(c.source.width, c.source.height, 1);
    Image after = before;
    const Image changedPixels = pattern(c.source.width, c.source.height, 99);
    for (std::uint32_t y = c.changed.y; y < c.changed.bottom(); ++y) {
        std::copy_n(changedPixels.row(y) + c.changed.x * 4, c.changed.width * 4,
                    after.row(y) + c.changed.x * 4);
    }
    ImageScaler scaler;
    Image expected(c.destination.width, c.destination.height);
    Image incremental(c.destination.width, c.destination.height);
    if (c.fit) {
        ASSERT_TRUE(scaler.scaleToFit(after, expected));
        ASSERT_TRUE(scaler.scaleToFit(before, incremental));
    } else {
        ASSERT_TRUE(scaler.scale(after, expected));
        ASSERT_TRUE(scaler.scale(before, incremental));
    }
    const PixelRect inner = c.fit ? fittedArea(c.source, c.destination)
                                  : PixelRect{0, 0, c.destination.width, c.destination.height};
    const ScaledRegion region = scaler.regionOf(c.changed, c.source, {inner.width, inner.height});
    ASSERT_FALSE(region.destination.empty());
    // The source area holds the change; the redone area is smaller than all.
    EXPECT_EQ(region.source.united(c.changed), region.source);
    EXPECT_LT(region.destination.width * region.destination.height, inner.width * inner.height);
    const ImageView part{after.row(region.source.y) + region.source.x * 4, region.source.width,
                         region.source.height, after.stride(), false};
    ASSERT_TRUE(scaler.scaleRegion(part, c.source, region, incremental, inner));
    for (std::uint32_t y = 0; y < c.destination.height; ++y) {
        ASSERT_TRUE(std::equal(expected.row(y), expected.row(y) + c.destination.width * 4,
                               incremental.row(y)))
            << "row " << y;
    }
}

const RegionCase kRegionCases[] = {
    {"halved", {1920, 1080}, {960, 540}, true, {101, 333, 37, 5}},
    {"quartered", {1920, 1080}, {480, 270}, false, {1, 1, 640, 360}},
    {"sameSize", {320, 200}, {320, 200}, false, {7, 9, 1, 1}},
    {"areaFilter", {1000, 700}, {640, 360}, false, {500, 10, 99, 600}},
    {"halvedThenArea", {3840, 2160}, {640, 360}, false, {3000, 2000, 840, 160}},
    {"enlargedIntoFit", {300, 200}, {960, 540}, true, {150, 100, 20, 20}},
    {"lastColumnAndRow", {1001, 601}, {960, 540}, true, {1000, 600, 1, 1}},
};
INSTANTIATE_TEST_SUITE_P(Sizes, RegionScaling, ::testing::ValuesIn(kRegionCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrovane::platform
