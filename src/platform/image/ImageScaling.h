#pragma once

#include <cstdint>
#include <vector>

#include "platform/image/Image.h"
#include "platform/image/ImageView.h"

namespace ostrovane::platform {

struct ImageSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    friend bool operator==(const ImageSize&, const ImageSize&) = default;
};

// Resamples BGRA images with an area-averaging (box) filter: every output
// pixel is the exact average of the source area it covers, so thin lines and
// text survive strong reductions and opaque images stay exactly opaque.
//
// Reductions by an even whole factor run as halvings through libyuv's SIMD
// 2x2 box; any other ratio (and enlargements, which become a sharp
// area-weighted blend) goes through our own separable area filter.
// libyuv's general ARGB filters are not used: in the version we build
// against they darken every pixel by about 1% (255 becomes 253) at
// non-integer ratios and, at large integer ratios, sample 2x2 out of each box.
//
// The source may be a view of pixels the caller does not own (a grab read in
// place): each source pixel is read once, straight into the destination
// when no intermediate size is needed, and a source whose alpha byte is
// padding gives an opaque result. Equal sizes are one copy.
//
// Keeps its scratch buffers between calls, so a capture thread scaling every
// frame to the same size allocates nothing after the first frame. One thread
// at a time.
class ImageScaler {
  public:
    // Scales the whole of `source` to the whole of `destination` (whose size
    // the caller chose). False when either is empty.
    bool scale(const ImageView& source, Image& destination);
    bool scale(const Image& source, Image& destination) {
        return scale(ImageView::of(source), destination);
    }

    // Scales `source` to the largest size that fits in `destination` keeping
    // its aspect ratio, centred, with the rest opaque black.
    bool scaleToFit(const ImageView& source, Image& destination);
    bool scaleToFit(const Image& source, Image& destination) {
        return scaleToFit(ImageView::of(source), destination);
    }

  private:
    struct View;
    // For each output pixel along one axis: the first source pixel it covers,
    // how many, and where their weights start in `weight`.
    struct Axis {
        std::vector<std::uint32_t> first, count, offset, weight;
    };
    bool scaleView(const ImageView& source, const View& destination);
    void areaScale(const ImageView& source, const View& destination);

    Image halves_[2];
    Axis columns_, rows_;
    std::vector<std::uint32_t> rowAccumulator_;
    std::vector<std::uint16_t> rowSum_;
};

// One-off scaling to exactly newWidth x newHeight; an empty source or a zero
// size gives an empty image.
Image scale(const Image& source, std::uint32_t newWidth, std::uint32_t newHeight);

// The size that fits within maxWidth keeping the aspect ratio (height
// rounded to nearest, at least 1). Sizes already narrow enough are kept;
// a zero size stays zero.
ImageSize fitWithinWidth(ImageSize size, std::uint32_t maxWidth);

// The largest size with `size`'s aspect ratio that fits within `bounds`
// (each side rounded to nearest, at least 1).
ImageSize fitWithin(ImageSize size, ImageSize bounds);

}  // namespace ostrovane::platform
