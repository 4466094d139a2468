#pragma once

#include <cstdint>
#include <vector>

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
};

// Turns captured BGRA images into I420 at a session's even size with
// libyuv's ARGBToI420 (limited-range BT.601). An image up to one column and
// one row larger than the session is cropped (an odd capture size); any other
// size is first scaled into a buffer of the session's size. One thread at a
// time; allocates nothing after the first image of a new size.
//
// Images that carry their stream's revision (PixelRect.h) are converted
// into a picture kept here, only where they changed since the previous
// one, and that picture is copied out; a repeated picture is only copied.
class I420Converter {
  public:
    I420Converter(int width, int height);

    // False for an empty image.
    bool convert(const Image& image, I420Picture& picture);

  private:
    // Converts `area` (even-aligned) of `source` into `picture`.
    bool convertArea(const Image& source, PixelRect area, I420Picture& picture) const;

    int width_;
    int height_;
    I420Picture current_;
    std::uint64_t currentRevision_ = 0;  // 0: current_ holds nothing
    ImageScaler scaler_;
    Image scaled_;
};

}  // namespace ostrovane::platform::x264
