#include "platform/pipewire/FrameCopy.h"

#include <spa/param/video/raw.h>

#include <algorithm>
#include <array>

namespace ostrovane::platform::pipewire {

namespace {

// Whether `rows` rows of `rowBytes` bytes, `stride` apart and starting
// `offset` bytes in, lie within `bytes`.
bool rowsFit(std::size_t bytes, std::uint64_t offset, std::uint64_t stride, std::uint64_t rows,
             std::uint64_t rowBytes) {
    if (rows == 0 || rowBytes == 0 || stride < rowBytes)
        return false;
    return offset + (rows - 1) * stride + rowBytes <= bytes;
}

}  // namespace

FrameRegion visibleRegion(std::int32_t cropX, std::int32_t cropY, std::uint32_t cropWidth,
                          std::uint32_t cropHeight, std::uint32_t width, std::uint32_t height) {
    const bool inside = cropX >= 0 && cropY >= 0 && cropWidth > 0 && cropHeight > 0 &&
                        std::uint64_t{static_cast<std::uint32_t>(cropX)} + cropWidth <= width &&
                        std::uint64_t{static_cast<std::uint32_t>(cropY)} + cropHeight <= height;
    if (!inside)
        return {0, 0, width, height};
    return {static_cast<std::uint32_t>(cropX), static_cast<std::uint32_t>(cropY), cropWidth,
            cropHeight};
}

bool copyFrame(const FrameBytes& frame, const FrameRegion& region, Image& image) {
    if (!frame.pixels || frame.stride < std::uint64_t{frame.width} * 4 ||
        !rowsFit(frame.bytes, 0, frame.stride, frame.height, std::uint64_t{frame.width} * 4))
        return false;
    if (region.width == 0 || region.height == 0 ||
        std::uint64_t{region.x} + region.width > frame.width ||
        std::uint64_t{region.y} + region.height > frame.height)
        return false;
    if (image.width() != region.width || image.height() != region.height)
        image = Image(region.width, region.height);
    // Blue stays at byte 0 or moves there from byte 2.
    const bool swap = frame.order == PixelOrder::RedFirst;
    const std::size_t blue = swap ? 2 : 0;
    const std::size_t red = swap ? 0 : 2;
    for (std::uint32_t y = 0; y < region.height; ++y) {
        const std::uint8_t* source =
            frame.pixels + std::size_t{region.y + y} * frame.stride + std::size_t{region.x} * 4;
        std::uint8_t* target = image.row(y);
        for (std::uint32_t x = 0; x < region.width; ++x, source += 4, target += 4) {
            target[0] = source[blue];
            target[1] = source[1];
            target[2] = source[red];
            target[3] = 255;
        }
    }
    return true;
}

bool readCursorBitmap(std::uint32_t format, const std::uint8_t* pixels, std::size_t bytes,
                      std::uint32_t width, std::uint32_t height, std::int32_t stride,
                      CursorSprite& sprite) {
    // Where blue, green, red and alpha sit in a pixel of each layout.
    std::array<std::size_t, 4> at{};
    switch (format) {
        case SPA_VIDEO_FORMAT_BGRA:
            at = {0, 1, 2, 3};
            break;
        case SPA_VIDEO_FORMAT_RGBA:
            at = {2, 1, 0, 3};
            break;
        case SPA_VIDEO_FORMAT_ARGB:
            at = {3, 2, 1, 0};
            break;
        case SPA_VIDEO_FORMAT_ABGR:
            at = {1, 2, 3, 0};
            break;
        default:
            return false;
    }
    if (!pixels || stride < 0 ||
        !rowsFit(bytes, 0, static_cast<std::uint32_t>(stride), height, std::uint64_t{width} * 4))
        return false;
    sprite.width = width;
    sprite.height = height;
    sprite.pixels.resize(std::size_t{width} * height * 4);
    std::uint8_t* target = sprite.pixels.data();
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* source = pixels + std::size_t{y} * static_cast<std::uint32_t>(stride);
        for (std::uint32_t x = 0; x < width; ++x, source += 4, target += 4)
            for (std::size_t c = 0; c < 4; ++c)
                target[c] = source[at[c]];
    }
    return true;
}

void blendCursor(Image& image, const CursorSprite& sprite, std::int64_t x, std::int64_t y) {
    const std::int64_t left = std::max<std::int64_t>(x, 0);
    const std::int64_t top = std::max<std::int64_t>(y, 0);
    const std::int64_t right = std::min<std::int64_t>(x + sprite.width, image.width());
    const std::int64_t bottom = std::min<std::int64_t>(y + sprite.height, image.height());
    for (std::int64_t row = top; row < bottom; ++row) {
        const std::uint8_t* source =
            sprite.pixels.data() + (static_cast<std::size_t>(row - y) * sprite.width +
                                    static_cast<std::size_t>(left - x)) *
                                       4;
        std::uint8_t* target = image.row(static_cast<std::uint32_t>(row)) + left * 4;
        for (std::int64_t column = left; column < right; ++column, source += 4, target += 4) {
            const unsigned alpha = source[3];
            for (int c = 0; c < 3; ++c)
                target[c] = static_cast<std::uint8_t>(
                    (source[c] * alpha + target[c] * (255 - alpha) + 127) / 255);
            target[3] = 255;
        }
    }
}

}  // namespace ostrovane::platform::pipewire
