#include "platform/x264/I420Converter.h"

#include <libyuv/convert.h>
#include <x264.h>

#include <algorithm>
#include <optional>

namespace ostrovane::platform::x264 {

namespace {

constexpr int kMacroblock = 16;

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
    : width(w),
      height(h),
      y(area(w, h)),
      u(area(w / 2, h / 2)),
      v(area(w / 2, h / 2)),
      macroblocks(area((w + kMacroblock - 1) / kMacroblock, (h + kMacroblock - 1) / kMacroblock)) {}

I420Converter::I420Converter(int width, int height) : width_(width), height_(height) {}

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

void I420Converter::markConstant(const std::vector<PixelRect>* changed,
                                 I420Picture& picture) const {
    picture.constant = changed != nullptr;
    if (!changed)
        return;
    const int columns = (width_ + kMacroblock - 1) / kMacroblock;
    const int rows = (height_ + kMacroblock - 1) / kMacroblock;
    std::fill(picture.macroblocks.begin(), picture.macroblocks.end(), X264_MBINFO_CONSTANT);
    for (const PixelRect& c : *changed) {
        if (c.empty())
            continue;
        const int right = std::min<int>(columns, int((c.right() + kMacroblock - 1) / kMacroblock));
        const int bottom = std::min<int>(rows, int((c.bottom() + kMacroblock - 1) / kMacroblock));
        for (int row = int(c.y) / kMacroblock; row < bottom; ++row) {
            std::fill_n(picture.macroblocks.begin() + row * columns + int(c.x) / kMacroblock,
                        std::max(0, right - int(c.x) / kMacroblock), std::uint8_t{0});
        }
    }
    // Nothing constant: nothing to tell.
    picture.constant = std::find(picture.macroblocks.begin(), picture.macroblocks.end(),
                                 X264_MBINFO_CONSTANT) != picture.macroblocks.end();
}

bool I420Converter::convert(const Image& image, I420Picture& picture) {
    if (image.empty())
        return false;
    const PictureRevision& revision = image.revision();
    const PixelRect whole{0, 0, static_cast<std::uint32_t>(width_),
                          static_cast<std::uint32_t>(height_)};
    if (revision.number == 0 || !coversWithCrop(image, width_, height_)) {
        submitted_ = 0;
        picture.revision = 0;
        picture.constant = false;
        const Image* source = &image;
        if (!coversWithCrop(image, width_, height_)) {
            if (scaled_.empty())
                scaled_ = Image(whole.width, whole.height);
            if (!scaler_.scale(image, scaled_))
                return false;
            source = &scaled_;
        }
        return convertArea(*source, whole, picture);
    }
    if (revision.number != history_.latest())
        history_.record(revision.number, revision.changed);
    // Whole 2x2 chroma blocks, and whole runs of 32 columns so that libyuv's
    // SIMD rows split where the whole picture's do.
    const auto aligned = [&](const PixelRect& c) {
        const std::uint32_t left = c.x / 32 * 32, top = c.y / 2 * 2;
        return PixelRect{left, top, (c.right() + 31) / 32 * 32 - left,
                         (c.bottom() + 1) / 2 * 2 - top}
            .intersected(whole);
    };
    const PixelRect stale = aligned(history_.since(picture.revision).value_or(whole));
    picture.revision = 0;
    if (!stale.empty() && !convertArea(image, stale, picture))
        return false;
    picture.revision = revision.number;
    // Against the picture submitted before: the exact parts when it is the
    // one before this, what changed since otherwise.
    changedParts_.clear();
    if (submitted_ + 1 == revision.number && revision.partCount > 0) {
        for (std::size_t i = 0; i < revision.partCount; ++i)
            changedParts_.push_back(revision.parts[i]);
    } else if (auto since = history_.since(submitted_)) {
        changedParts_.push_back(*since);
    }
    const bool known = submitted_ == revision.number || !changedParts_.empty() ||
                       history_.since(submitted_).has_value();
    markConstant(known ? &changedParts_ : nullptr, picture);
    submitted_ = revision.number;
    return true;
}

}  // namespace ostrovane::platform::x264
