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

I420Converter::I420Converter(int width, int height) : width_(width), height_(height) {}

bool I420Converter::convert(const Image& image, I420Picture& picture) {
    if (image.empty())
        return false;
    const Image* source = &image;
    if (!coversWithCrop(image, width_, height_)) {
        if (scaled_.empty())
            scaled_ =
                Image(static_cast<std::uint32_t>(width_), static_cast<std::uint32_t>(height_));
        if (!scaler_.scale(image, scaled_))
            return false;
        source = &scaled_;
    }
    // libyuv's "ARGB" is B, G, R, A in memory: our BGRA.
    return libyuv::ARGBToI420(source->data(), static_cast<int>(source->stride()), picture.y.data(),
                              width_, picture.u.data(), width_ / 2, picture.v.data(), width_ / 2,
                              width_, height_) == 0;
}

}  // namespace ostrovane::platform::x264
