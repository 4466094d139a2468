#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/image/PixelRect.h"

namespace ostrovane::platform {

// At most this many parts a frame is redone in; beyond them, the two whose
// union wastes least become one (a clock's digits one rectangle, a grid's
// tiles four).
inline constexpr std::size_t kMostChangedParts = PictureRevision::kMostParts;
// A change over more than this share of a picture is redone whole: one pass
// beats many, and the whole path scales straight into the frame.
inline constexpr double kWholeChangeShare = 0.6;

std::uint64_t areaOf(const PixelRect& rect);

// Merges `parts` until at most kMostChangedParts remain; overlapping or
// touching parts always merge.
void mergeParts(std::vector<PixelRect>& parts);

// What changed in a picture since an earlier one, in its pixels: all of it
// (or not known), or only the parts listed (none: nothing).
struct PictureChange {
    bool all = true;
    std::vector<PixelRect> parts;

    static PictureChange nothing() { return {false, {}}; }
    // An empty part adds nothing.
    void add(const PixelRect& part);
    // What changed since the earlier picture, once `later` changed too.
    void add(const PictureChange& later);
};

}  // namespace ostrovane::platform
