#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace ostrovane::platform {

// A rectangle of pixels: columns [x, x + width), rows [y, y + height).
struct PixelRect {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;

    bool empty() const { return width == 0 || height == 0; }
    std::uint32_t right() const { return x + width; }
    std::uint32_t bottom() const { return y + height; }

    // The smallest rectangle holding both; an empty one adds nothing.
    PixelRect united(const PixelRect& o) const {
        if (empty())
            return o;
        if (o.empty())
            return *this;
        const std::uint32_t l = std::min(x, o.x), t = std::min(y, o.y);
        return {l, t, std::max(right(), o.right()) - l, std::max(bottom(), o.bottom()) - t};
    }
    PixelRect intersected(const PixelRect& o) const {
        const std::uint32_t l = std::max(x, o.x), t = std::max(y, o.y);
        const std::uint32_t r = std::min(right(), o.right()), b = std::min(bottom(), o.bottom());
        return r > l && b > t ? PixelRect{l, t, r - l, b - t} : PixelRect{};
    }
    bool operator==(const PixelRect&) const = default;
};

// Which picture of its stream an image holds: picture `number` differs from
// picture `number - 1` only inside `changed`. Number 0: not known, so a
// receiver that keeps work from the previous picture redoes all of it.
struct PictureRevision {
    static constexpr std::size_t kMostParts = 8;
    std::uint64_t number = 0;
    PixelRect changed;
    // Where inside `changed`, when known: a few rectangles (a call grid's
    // tiles); none: all of `changed`.
    std::array<PixelRect, kMostParts> parts{};
    std::size_t partCount = 0;
};

}  // namespace ostrovane::platform
