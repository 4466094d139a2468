#include "platform/x264/I420Converter.h"

#include <libyuv/convert.h>

namespace ostrovane::platform::x264 {

namespace {

std::size_t area(int width, int height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

bool coversWithCrop(const Image& image, int width, int height) {
    const auto w = static_cast<std::uint32_t>(width), h = static_cast<std::uint32_t>(height);
    return image.width() >= w && image.width() <= w + 1 && image.height() >= h &&
           image.height() <= h + 1;
}

}  // namespace

I420Picture::I420Picture(int w, int h)
    : width(w), height(h), y(area(w, h)), u(area(w / 2, h / 2)), v(area(w / 2, h / 2)) {}

I420Converter::I420Converter(int width, int height)
    : width_(width), height_(height), current_(0, 0) {}

bool I420Converter::convertArea(const Image& source, PixelRect area, I420Picture& picture) const {
    const std::size_t y = area.y, x = area.x;
    const std::size_t chroma = y / 2 * std::size_t(width_ / 2) + x / 2;
    // libyuv's "ARGB" is B, G, R, A in memory: our BGRA.
    return libyuv::ARGBToI420(source.row(area.y) + x * 4, static_cast<int>(source.stride()),
                              picture.y.data() + y * std::size_t(width_) + x, width_,
                              picture.u.data() + chroma, width_ / 2, picture.v.data() + chroma,
                              width_ / 2, static_cast<int>(area.width),
                              static_cast<int>(area.height)) == 0;
}

bool I420Converter::convert(const Image& image, I420Picture& picture) {
    if (image.empty())
        return false;
    const PictureRevision& revision = image.revision();
    if (revision.number != 0 && coversWithCrop(image, width_, height_)) {
        if (current_.width != width_)
            current_ = I420Picture(width_, height_);
        const PixelRect whole{0, 0, static_cast<std::uint32_t>(width_),
                              static_cast<std::uint32_t>(height_)};
        PixelRect area = whole;
        if (revision.changed.intersected(whole) == whole) {
            // All of it changed: straight into the picture, nothing kept.
            currentRevision_ = 0;
            return convertArea(image, whole, picture);
        }
        if (currentRevision_ != 0 && revision.number == currentRevision_) {
            area = {};  // a repeat
        } else if (currentRevision_ != 0 && revision.number == currentRevision_ + 1) {
            // Whole 2x2 chroma blocks, and whole runs of 32 columns so that
            // libyuv's SIMD rows split where the whole picture's do.
            const PixelRect c = revision.changed;
            const std::uint32_t left = c.x / 32 * 32, top = c.y / 2 * 2;
            area = PixelRect{left, top, (c.right() + 31) / 32 * 32 - left,
                             (c.bottom() + 1) / 2 * 2 - top}
                       .intersected(whole);
        }
        currentRevision_ = 0;
        if (!area.empty() && !convertArea(image, area, current_))
            return false;
        currentRevision_ = revision.number;
        picture.y = current_.y;
        picture.u = current_.u;
        picture.v = current_.v;
        return true;
    }
    currentRevision_ = 0;
    const Image* source = &image;
    if (!coversWithCrop(image, width_, height_)) {
        if (scaled_.empty())
            scaled_ =
                Image(static_cast<std::uint32_t>(width_), static_cast<std::uint32_t>(height_));
        if (!scaler_.scale(image, scaled_))
            return false;
        source = &scaled_;
    }
    return convertArea(
        *source, {0, 0, static_cast<std::uint32_t>(width_), static_cast<std::uint32_t>(height_)},
        picture);
}

}  // namespace ostrovane::platform::x264
