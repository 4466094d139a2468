#include "platform/image/PixelFormat.h"

#include <bit>
#include <cstring>
#include <vector>

#include "platform/image/ImageScaling.h"

namespace ostrovane::platform {

namespace {

bool isRun(std::uint32_t mask) {
    if (mask == 0)
        return false;
    const std::uint32_t shifted = mask >> std::countr_zero(mask);
    return (shifted & (shifted + 1)) == 0 && std::popcount(mask) <= 16;
}

// One colour: where its bits are and what each of their values is in 8 bits.
struct Channel {
    explicit Channel(std::uint32_t mask)
        : shift(std::countr_zero(mask)), bits(mask >> shift), to8(std::size_t{bits} + 1) {
        for (std::uint32_t v = 0; v <= bits; ++v)
            to8[v] = static_cast<std::uint8_t>((v * 255u + bits / 2) / bits);
    }
    std::uint8_t of(std::uint32_t pixel) const { return to8[(pixel >> shift) & bits]; }

    int shift;
    std::uint32_t bits;
    std::vector<std::uint8_t> to8;
};

}  // namespace

bool PixelLayout::convertible() const {
    if (bitsPerPixel != 16 && bitsPerPixel != 24 && bitsPerPixel != 32)
        return false;
    const std::uint32_t inPixel =
        bitsPerPixel == 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << bitsPerPixel) - 1;
    for (std::uint32_t mask : {redMask, greenMask, blueMask}) {
        if (!isRun(mask) || (mask & ~inPixel) != 0)
            return false;
    }
    return (redMask & greenMask) == 0 && (redMask & blueMask) == 0 && (greenMask & blueMask) == 0;
}

bool toBgra(const std::uint8_t* pixels, std::size_t stride, std::uint32_t width,
            std::uint32_t height, const PixelLayout& layout, Image& image) {
    if (!layout.convertible())
        return false;
    if (image.width() != width || image.height() != height)
        image = Image(width, height);
    // The common depth-24 layout is already BGRA but for the padding byte.
    if (layout.isBgrx()) {
        ImageScaler copier;
        return copier.scale(ImageView{pixels, width, height, stride, true}, image);
    }
    const std::size_t bytesPerPixel = layout.bitsPerPixel / 8;
    const Channel red(layout.redMask), green(layout.greenMask), blue(layout.blueMask);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* in = pixels + y * stride;
        std::uint8_t* out = image.row(y);
        for (std::uint32_t x = 0; x < width; ++x, in += bytesPerPixel, out += 4) {
            std::uint32_t pixel = 0;
            for (std::size_t b = 0; b < bytesPerPixel; ++b) {
                const std::size_t significance =
                    layout.mostSignificantFirst ? bytesPerPixel - 1 - b : b;
                pixel |= std::uint32_t{in[b]} << (8 * significance);
            }
            out[0] = blue.of(pixel);
            out[1] = green.of(pixel);
            out[2] = red.of(pixel);
            out[3] = 0xFF;
        }
    }
    return true;
}

}  // namespace ostrovane::platform
