#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/image/Image.h"

namespace ostrovane::platform {

// How a server lays out the pixels of an image: 16, 24 or 32 bits per
// pixel, each colour a run of bits under its mask, the pixel's bytes least
// or most significant first. Bits under no mask (padding, alpha) are ignored.
struct PixelLayout {
    std::uint8_t bitsPerPixel = 32;
    std::uint32_t redMask = 0xFF0000;
    std::uint32_t greenMask = 0x00FF00;
    std::uint32_t blueMask = 0x0000FF;
    bool mostSignificantFirst = false;

    // Whether toBgra can convert it: each mask one run of 1 to 16 bits
    // within the pixel.
    bool convertible() const;
    // Whether the pixels are already BGRA in memory but for the fourth byte,
    // which is padding: depth 24 in 32 bits, least significant byte first.
    bool isBgrx() const {
        return bitsPerPixel == 32 && !mostSignificantFirst && redMask == 0xFF0000 &&
               greenMask == 0xFF00 && blueMask == 0xFF;
    }
};

// Converts `height` rows of `width` pixels, rows `stride` bytes apart, to
// opaque 8-bit BGRA in `image` (resized only when its size differs), each
// colour scaled from its own bits to 8 with rounding. False, leaving
// `image` as it was, when the layout is not convertible.
bool toBgra(const std::uint8_t* pixels, std::size_t stride, std::uint32_t width,
            std::uint32_t height, const PixelLayout& layout, Image& image);

}  // namespace ostrovane::platform
