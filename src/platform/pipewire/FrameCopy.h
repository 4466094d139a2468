#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/image/Image.h"

namespace ostrovane::platform::pipewire {

// Four bytes a pixel, blue first (BGRx, BGRA) or red first (RGBx, RGBA);
// the fourth byte is never read.
enum class PixelOrder { BlueFirst, RedFirst };

// A frame as a producer hands it over: `bytes` readable bytes from `pixels`,
// rows `stride` bytes apart.
struct FrameBytes {
    const std::uint8_t* pixels = nullptr;
    std::size_t bytes = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    PixelOrder order = PixelOrder::BlueFirst;
};

// A rectangle of a frame, in its pixels.
struct FrameRegion {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const FrameRegion&) const = default;
};

// The part of a `width` x `height` frame to show: the producer's crop when
// it is non-empty and lies inside the frame, the whole frame otherwise.
FrameRegion visibleRegion(std::int32_t cropX, std::int32_t cropY, std::uint32_t cropWidth,
                          std::uint32_t cropHeight, std::uint32_t width, std::uint32_t height);

// Copies `region` of `frame` into `image` as opaque BGRA, reallocating the
// image only when its size differs. False, and the image untouched, when
// the frame is empty, its stride is shorter than a row or its rows run past
// its bytes: the producer is another process and is not trusted.
bool copyFrame(const FrameBytes& frame, const FrameRegion& region, Image& image);

// A pointer picture in straight-alpha BGRA and the pixel of it that points.
struct CursorSprite {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::int32_t hotspotX = 0;
    std::int32_t hotspotY = 0;
    std::vector<std::uint8_t> pixels;  // width * height * 4
};

// Reads a cursor bitmap of a producer (`format` a spa_video_format with
// alpha: BGRA, RGBA, ARGB or ABGR) into `sprite`, keeping its hotspot.
// False, and the sprite untouched, for another format, an empty bitmap or
// one whose rows run past `bytes`.
bool readCursorBitmap(std::uint32_t format, const std::uint8_t* pixels, std::size_t bytes,
                      std::uint32_t width, std::uint32_t height, std::int32_t stride,
                      CursorSprite& sprite);

// Blends `sprite` over `image` with its top-left pixel at (x, y), which may
// lie partly or wholly outside the image; the image stays opaque.
void blendCursor(Image& image, const CursorSprite& sprite, std::int64_t x, std::int64_t y);

}  // namespace ostrovane::platform::pipewire
