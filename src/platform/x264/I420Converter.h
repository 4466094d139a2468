#pragma once

#include <cstdint>
#include <vector>

#include "platform/image/ChangeHistory.h"
#include "platform/image/Image.h"
#include "platform/image/ImageScaling.h"

namespace ostrovane::platform::x264 {

// One I420 picture of a fixed even size, allocated once and reused.
struct I420Picture {
    I420Picture(int width, int height);

    int width;
    int height;
    std::vector<std::uint8_t> y;  // width x height
    std::vector<std::uint8_t> u;  // width/2 x height/2
    std::vector<std::uint8_t> v;  // width/2 x height/2
    // Which picture of its stream this holds (PictureRevision); 0: none known.
    std::uint64_t revision = 0;
    // x264's flags per 16x16 macroblock, X264_MBINFO_CONSTANT where the
    // picture equals the one submitted before it; used when `constant`.
    std::vector<std::uint8_t> macroblocks;
    bool constant = false;
};

// Turns captured BGRA images into I420 at a session's even size with
// libyuv's ARGBToI420 (limited-range BT.601). An image up to one column and
// one row larger than the session is cropped (an odd capture size); any other
// size is first scaled into a buffer of the session's size. One thread at a
// time; allocates nothing after the first image of a new size.
//
// Images that carry their stream's revision (PixelRect.h) are converted into
// a picture only where they differ from what that picture held, and the
// macroblocks that equal the previously submitted picture are marked for the
// encoder, which then spends nothing on them.
class I420Converter {
  public:
    I420Converter(int width, int height);

    // False for an empty image.
    bool convert(const Image& image, I420Picture& picture);

  private:
    // Converts `area` (even-aligned) of `source` into `picture`.
    bool convertArea(const Image& source, PixelRect area, I420Picture& picture) const;
    // Marks the macroblocks outside `changed` (none: outside nothing).
    void markConstant(const std::vector<PixelRect>* changed, I420Picture& picture) const;

    int width_;
    int height_;
    ImageScaler scaler_;
    Image scaled_;
    ChangeHistory history_;
    std::uint64_t submitted_ = 0;  // the revision converted last; 0: none
    std::vector<PixelRect> changedParts_;
};

}  // namespace ostrovane::platform::x264
