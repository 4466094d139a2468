#include "platform/image/Image.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace ostrovane::platform {

Image::Image(std::uint32_t width, std::uint32_t height, std::uint32_t stride)
    : width_(width), height_(height), stride_(stride) {
    const std::uint64_t rowBytes = std::uint64_t{width} * 4;
    if (rowBytes > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("Image: too wide");
    }
    if (stride_ == 0) {
        stride_ = static_cast<std::uint32_t>(rowBytes);
    } else if (stride_ < rowBytes) {
        throw std::invalid_argument("Image: stride too small");
    }
    pixels_.resize(std::size_t{stride_} * height_);
}

Image Image::copyOf(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                    std::uint32_t stride) {
    Image image(width, height);
    const std::size_t rowBytes = std::size_t{width} * 4;
    for (std::uint32_t y = 0; y < height; ++y) {
        std::memcpy(image.row(y), pixels + std::size_t{y} * stride, rowBytes);
    }
    return image;
}

bool Image::isOpaque() const {
    for (std::uint32_t y = 0; y < height_; ++y) {
        const std::uint8_t* p = row(y);
        std::uint8_t all = 0xFF;
        for (std::uint32_t x = 0; x < width_; ++x)
            all &= p[x * 4 + 3];
        if (all != 0xFF)
            return false;
    }
    return true;
}

}  // namespace ostrovane::platform
