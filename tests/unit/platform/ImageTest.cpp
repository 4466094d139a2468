#include <png.h>

#include <gtest/gtest.h>

#include <cmath>

#include "platform/image/Image.h"
#include "platform/image/ImageScaling.h"
#include "platform/image/ImageView.h"
#include "platform/image/PngEncoder.h"

namespace ostrovane::platform {
namespace {

// A picture whose every pixel differs from its neighbours in every channel, so
// that a pixel computed from the wrong source area shows; pictures of two
// seeds differ everywhere. Opaque unless told otherwise.
Image pattern(std::uint32_t width, std::uint32_t height, std::uint32_t stride = 0,
              bool opaque = true, std::uint8_t seed = 0) {
    Image image(width, height, stride);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint8_t bgra[] = {std::uint8_t(x * 7 + seed), std::uint8_t(y * 13 + seed),
                                         std::uint8_t((x ^ y) * 3 + seed),
                                         opaque ? std::uint8_t(255) : std::uint8_t(x * 31 + y)};
            std::copy_n(bgra, 4, image.row(y) + x * 4);
        }
    }
    return image;
}

// Opaque pictures are written as RGB, others as straight RGBA; libpng's own
// reader gives back the same BGRA pixels, padding of the rows left out.
TEST(PngEncoderTest, OpaqueImagesRoundTripAsRgbOthersAsStraightRgbaEmptyOnesAsNothing) {
    for (const bool opaque : {true, false}) {
        const Image image = pattern(37, 21, 37 * 4 + 12, opaque);  // padded rows
        ASSERT_EQ(image.isOpaque(), opaque);
        const std::vector<std::uint8_t> png = encodePng(image);
        png_image header{};
        header.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_memory(&header, png.data(), png.size()));
        EXPECT_EQ(header.width, 37u);
        EXPECT_EQ(header.height, 21u);
        EXPECT_EQ(header.format, opaque ? PNG_FORMAT_RGB : PNG_FORMAT_RGBA);
        header.format = PNG_FORMAT_BGRA;
        std::vector<std::uint8_t> bgra(PNG_IMAGE_SIZE(header));
        ASSERT_TRUE(png_image_finish_read(&header, nullptr, bgra.data(), 0, nullptr));
        for (std::uint32_t y = 0; y < 21; ++y) {
            ASSERT_TRUE(std::equal(image.row(y), image.row(y) + 37 * 4, bgra.data() + y * 37 * 4))
                << "row " << y;
        }
    }
    EXPECT_TRUE(encodePng(Image{}).empty());
    EXPECT_TRUE(encodePng(Image(0, 10)).empty());
}

// The exact average of the source area each output pixel covers, rounded.
Image referenceAreaScale(const Image& source, std::uint32_t width, std::uint32_t height) {
    Image out(width, height);
    const double rx = double(source.width()) / width, ry = double(source.height()) / height;
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            double sum[4] = {0, 0, 0, 0};
            for (std::uint32_t sy = 0; sy < source.height(); ++sy) {
                const double wy =
                    std::max(0.0, std::min((y + 1) * ry, sy + 1.0) - std::max(y * ry, double(sy)));
                if (wy == 0)
                    continue;
                for (std::uint32_t sx = 0; sx < source.width(); ++sx) {
                    const double wx = std::max(
                        0.0, std::min((x + 1) * rx, sx + 1.0) - std::max(x * rx, double(sx)));
                    for (int c = 0; c < 4; ++c)
                        sum[c] += wx * wy * source.row(sy)[sx * 4 + c];
                }
            }
            for (int c = 0; c < 4; ++c)
                out.row(y)[x * 4 + c] = std::uint8_t(std::lround(sum[c] / (rx * ry)));
        }
    }
    return out;
}

int largestDifference(const Image& a, const Image& b) {
    int worst = 0;
    for (std::uint32_t y = 0; y < a.height(); ++y) {
        for (std::uint32_t i = 0; i < a.width() * 4; ++i)
            worst = std::max(worst, std::abs(int(a.row(y)[i]) - int(b.row(y)[i])));
    }
    return worst;
}

TEST(ImageScalingTest, EveryOutputPixelIsTheAverageOfTheAreaItCovers) {
    // Equal sizes, halvings, the rest of a ratio after them, strong
    // reductions (thin lines become an even grey, not dropped or kept by
    // sampling luck), odd sizes and enlargements; from an image, and from a
    // grab read in place whose fourth byte is padding: the same colours, opaque.
    const Image source = pattern(96, 64, 96 * 4 + 32);
    const Image padded = pattern(96, 64, 96 * 4 + 32, false);
    const ImageView views[] = {ImageView::of(source),
                               {padded.data(), 96, 64, padded.stride(), true}};
    const std::pair<std::uint32_t, std::uint32_t> kSizes[] = {
        {96, 64}, {48, 32}, {24, 16}, {12, 8},    {64, 43}, {13, 7},
        {7, 5},   {95, 63}, {1, 1},   {150, 100}, {300, 2}};
    ImageScaler scaler;
    for (const ImageView& view : views) {
        for (auto [w, h] : kSizes) {
            Image scaled(w, h);
            ASSERT_TRUE(scaler.scale(view, scaled));
            EXPECT_LE(largestDifference(scaled, referenceAreaScale(source, w, h)), 1)
                << w << "x" << h << (view.alphaIsPadding ? " padded" : "");
            EXPECT_TRUE(scaled.isOpaque()) << w << "x" << h;
        }
    }
    EXPECT_EQ(scale(source, 13, 7).width(), 13u);
}

TEST(ImageScalingTest, ScaleToFitLetterboxesInOpaqueBlack) {
    Image white(100, 50);
    std::fill_n(white.data(), white.stride() * 50, 255);
    Image box(64, 48);
    ImageScaler scaler;
    ASSERT_TRUE(scaler.scaleToFit(white, box));
    // 64 x 32 of picture, 8 rows of black above and below.
    for (std::uint32_t y = 0; y < 48; ++y) {
        const int expected = y >= 8 && y < 40 ? 255 : 0;
        for (std::uint32_t x = 0; x < 64; ++x) {
            ASSERT_EQ(box.row(y)[x * 4 + 1], expected) << x << "," << y;
            ASSERT_EQ(box.row(y)[x * 4 + 3], 255);
        }
    }
    EXPECT_TRUE(scale(pattern(4, 4), 0, 10).empty());
    EXPECT_TRUE(scale(Image{}, 10, 10).empty());
}

TEST(ImageScalingTest, FitKeepsTheAspectRatio) {
    EXPECT_EQ(fitWithinWidth({1920, 1080}, 240), (ImageSize{240, 135}));
    EXPECT_EQ(fitWithinWidth({2560, 1600}, 1280), (ImageSize{1280, 800}));
    EXPECT_EQ(fitWithinWidth({1000, 333}, 300), (ImageSize{300, 100}));  // 99.9 rounds up
    EXPECT_EQ(fitWithinWidth({200, 100}, 240), (ImageSize{200, 100}));   // never enlarged
    EXPECT_EQ(fitWithinWidth({5000, 2}, 100), (ImageSize{100, 1}));      // at least one row
    EXPECT_EQ(fitWithinWidth({0, 0}, 240), (ImageSize{0, 0}));
    EXPECT_EQ(fitWithin({50, 20}, {64, 48}), (ImageSize{64, 26}));
    EXPECT_EQ(fitWithin({1080, 1920}, {960, 540}), (ImageSize{304, 540}));
    EXPECT_EQ(fitWithin({1920, 1080}, {960, 540}), (ImageSize{960, 540}));
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
    const Image before = pattern(c.source.width, c.source.height);
    Image after = before;
    const Image changedPixels = pattern(c.source.width, c.source.height, 0, true, 99);
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
