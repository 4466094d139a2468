#include "platform/image/ChangedFrames.h"

#include <algorithm>
#include <cstring>

namespace ostrovane::platform {

ChangedFrames::ChangedFrames(const StreamConfiguration& configuration)
    : width_(static_cast<std::uint32_t>(std::max<std::int64_t>(configuration.width, 1))),
      height_(static_cast<std::uint32_t>(std::max<std::int64_t>(configuration.height, 1))),
      scalesToFit_(configuration.scalesToFit),
      pool_(StreamFrames::kImagesInFlight) {}

std::shared_ptr<const Image> ChangedFrames::handOut(std::unique_ptr<Image> frame,
                                                    PixelRect changed) {
    pending_ = pending_.united(changed);
    frame->setRevision({revision_ + 1, pending_});
    std::shared_ptr<const Image> shared = pool_.share(std::move(frame));
    ++revision_;
    pending_ = {};
    lost_ = false;
    last_ = shared;
    return shared;
}

std::shared_ptr<const Image> ChangedFrames::whole(const ImageView& grabbed) {
    building_.reset();
    std::unique_ptr<Image> frame = pool_.take(width_, height_);
    if (!frame)
        return nullptr;
    const bool scaled =
        scalesToFit_ ? scaler_.scaleToFit(grabbed, *frame) : scaler_.scale(grabbed, *frame);
    if (!scaled) {
        pool_.share(std::move(frame));  // straight back to the pool
        return nullptr;
    }
    target_ = {grabbed.width, grabbed.height};
    const ImageSize bounds{width_, height_};
    inner_ = scalesToFit_ ? fittedArea(target_, bounds) : PixelRect{0, 0, width_, height_};
    return handOut(std::move(frame), {0, 0, width_, height_});
}

bool ChangedFrames::begin(ImageSize target) {
    building_.reset();
    if (!last_ || target != target_ || lost_)
        return false;
    building_ = pool_.take(width_, height_);
    if (!building_)
        return true;  // finish() says there is no frame
    // The last frame is read only: a receiver may still hold it.
    std::memcpy(building_->data(), last_->data(), std::size_t{last_->stride()} * height_);
    return true;
}

ScaledRegion ChangedFrames::regionOf(PixelRect changed) {
    return scaler_.regionOf(changed, target_, {inner_.width, inner_.height});
}

void ChangedFrames::add(const ImageView& part, const ScaledRegion& region) {
    const PixelRect touched{inner_.x + region.destination.x, inner_.y + region.destination.y,
                            region.destination.width, region.destination.height};
    if (building_ && !scaler_.scaleRegion(part, target_, region, *building_, inner_))
        building_.reset();
    pending_ = pending_.united(touched);
}

std::shared_ptr<const Image> ChangedFrames::finish() {
    if (!building_) {
        // Parts changed that no frame holds: only a whole grab has them all.
        lost_ = true;
        return nullptr;
    }
    return handOut(std::move(building_), {});
}

}  // namespace ostrovane::platform
