#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/image/PixelRect.h"

namespace ostrovane::platform {

// An 8-bit BGRA picture (bytes B, G, R, A in memory order), top row first,
// owning its pixels. Alpha is straight (not premultiplied); screen pictures
// are opaque (alpha 255 everywhere).
class Image {
  public:
    Image() = default;
    // Zeroed pixels (transparent black); stride = width * 4 unless given
    // (it must then be at least width * 4). Throws std::invalid_argument for
    // a smaller stride and std::length_error when a row exceeds 4 GiB.
    Image(std::uint32_t width, std::uint32_t height, std::uint32_t stride = 0);
    // Copies width * 4 bytes of each row from `pixels`, rows `stride` apart.
    static Image copyOf(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                        std::uint32_t stride);

    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    // Bytes from the start of one row to the next.
    std::uint32_t stride() const { return stride_; }
    bool empty() const { return width_ == 0 || height_ == 0; }

    std::uint8_t* data() { return pixels_.data(); }
    const std::uint8_t* data() const { return pixels_.data(); }
    std::uint8_t* row(std::uint32_t y) { return pixels_.data() + std::size_t{y} * stride_; }
    const std::uint8_t* row(std::uint32_t y) const {
        return pixels_.data() + std::size_t{y} * stride_;
    }

    // True when every pixel has alpha 255.
    bool isOpaque() const;

    // Set by a stream on the frames it hands out (PixelRect.h).
    const PictureRevision& revision() const { return revision_; }
    void setRevision(const PictureRevision& revision) { revision_ = revision; }

  private:
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    std::uint32_t stride_ = 0;
    std::vector<std::uint8_t> pixels_;
    PictureRevision revision_;
};

}  // namespace ostrovane::platform
