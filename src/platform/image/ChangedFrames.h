#pragma once

#include <memory>

#include "platform/StreamConfiguration.h"
#include "platform/image/ChangeHistory.h"
#include "platform/image/ImagePool.h"
#include "platform/image/ImageScaling.h"
#include "platform/image/PictureChange.h"
#include "platform/image/StreamFrames.h"

namespace ostrovane::platform {

// The frames of a stream that knows what changed: a whole grab scaled as
// StreamFrames does, or the last frame with only the changed parts scaled
// anew. Every frame carries its revision (PixelRect.h), so that the
// encoder converts only what changed. Used by the capturing thread only.
class ChangedFrames {
  public:
    explicit ChangedFrames(const StreamConfiguration& configuration);

    // A frame of the whole grab (a start, a switch, a new size); null when
    // every pooled image is held by receivers or it cannot be scaled.
    std::shared_ptr<const Image> whole(const ImageView& grabbed);

    // A frame made of parts: begin() with the target's size (false when
    // only a whole frame can follow: no frame yet, another size), then for
    // each changed rectangle of the target the source area regionOf() asks
    // for, grabbed, to add(); finish() hands the frame out (null as whole()
    // does; the next frame must then be whole).
    bool begin(ImageSize target);
    ScaledRegion regionOf(PixelRect changed);
    void add(const ImageView& part, const ScaledRegion& region);
    std::shared_ptr<const Image> finish();

    // A frame of a whole grab of which only `change` differs from the grab
    // of the last frame: only the changed parts scaled anew, or all of it
    // where most changed or no frame of this size came before. The last
    // frame again when nothing of it changed.
    std::shared_ptr<const Image> update(const ImageView& grabbed, const PictureChange& change);

    // The last frame handed out, for a repeat.
    const std::shared_ptr<const Image>& last() const { return last_; }

  private:
    std::shared_ptr<const Image> handOut(std::unique_ptr<Image> frame, PixelRect changed);
    // Gives the frame under way back to the pool.
    void discard();

    const std::uint32_t width_;
    const std::uint32_t height_;
    const bool scalesToFit_;
    ImageScaler scaler_;
    ImagePool pool_;
    std::shared_ptr<const Image> last_;
    ImageSize target_;  // of the last frame
    PixelRect inner_;   // where the target lands in a frame
    std::uint64_t revision_ = 0;
    PixelRect pending_;  // changed since the last frame handed out
    ChangeHistory history_;
    // The areas of the frame under way (more than the revision holds: all).
    std::array<PixelRect, PictureRevision::kMostParts> partList_{};
    std::size_t parts_ = 0;
    std::unique_ptr<Image> building_;
    bool lost_ = false;  // a frame of parts was not handed out
};

}  // namespace ostrovane::platform
