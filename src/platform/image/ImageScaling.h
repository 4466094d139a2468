#pragma once

#include <cstdint>
#include <vector>

#include "platform/image/Image.h"
#include "platform/image/ImageView.h"
#include "platform/image/PixelRect.h"

namespace ostrovane::platform {

struct ImageSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    friend bool operator==(const ImageSize&, const ImageSize&) = default;
};

// What a change of part of a picture costs a scaled copy of it: the pixels
// of `destination` (in the scaled picture) that the change touches, and the
// area of the source they are computed from, which holds the change.
struct ScaledRegion {
    PixelRect source;
    PixelRect destination;
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

    // A change of `changed` in a `source`-sized picture scaled (as a whole,
    // by scale()) to `destination` size: what to redo. Empty when the change
    // lies outside the picture.
    ScaledRegion regionOf(PixelRect changed, ImageSize source, ImageSize destination);
    // Redoes `region` of a scale of a `source`-sized picture into the area
    // `inner` of `destination` (all of it for scale(), the fitted area for
    // scaleToFit()): `part` holds the pixels of `region.source`. The pixels
    // written are those the scale of the whole picture gives there.
    bool scaleRegion(const ImageView& part, ImageSize source, const ScaledRegion& region,
                     Image& destination, PixelRect inner);

  private:
    struct View;
    // For each output pixel along one axis: the first source pixel it covers,
    // how many, and where their weights start in `weight`.
    struct Axis {
        std::vector<std::uint32_t> first, count, offset, weight;
    };
    bool scaleView(const ImageView& source, const View& destination);
    void areaScale(const ImageView& source, const View& destination);
    // Builds the area filter's axes for these sizes unless they are built.
    void prepareAxes(ImageSize from, ImageSize to);
    // The halvings before the area filter (or the whole scale).
    static int halvingsFor(ImageSize from, ImageSize to);

    Image halves_[2];
    Image regionHalves_[2];
    Axis columns_, rows_;
    ImageSize axesFrom_, axesTo_;
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

// Where scaleToFit() puts a `size` picture in a `bounds` image: centred.
PixelRect fittedArea(ImageSize size, ImageSize bounds);

}  // namespace ostrovane::platform
