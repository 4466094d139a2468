#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/image/Image.h"

namespace ostrovane::platform {

// Pixels somebody else owns, laid out as an Image's (B, G, R, A bytes, top
// row first): a grab's shared-memory segment read in place, or an Image.
// `alphaIsPadding`: the fourth byte is whatever the server left there (the
// unused byte of a depth-24 pixel), so whoever copies or scales the view
// makes the result opaque.
struct ImageView {
    const std::uint8_t* data = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t stride = 0;
    bool alphaIsPadding = false;

    static ImageView of(const Image& image) {
        return {image.data(), image.width(), image.height(), image.stride(), false};
    }
    bool empty() const { return width == 0 || height == 0; }
    const std::uint8_t* row(std::uint32_t y) const { return data + std::size_t{y} * stride; }
};

}  // namespace ostrovane::platform
