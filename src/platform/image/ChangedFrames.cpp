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
    PictureRevision revision{revision_ + 1, pending_};
    if (parts_ <= PictureRevision::kMostParts) {
        revision.parts = partList_;
        revision.partCount = parts_;
    }
    frame->setRevision(revision);
    parts_ = 0;
    std::shared_ptr<const Image> shared = pool_.share(std::move(frame));
    ++revision_;
    history_.record(revision_, pending_);
    pending_ = {};
    lost_ = false;
    last_ = shared;
    return shared;
}

void ChangedFrames::discard() {
    if (!building_)
        return;
    // Partly written: it holds no picture any more.
    building_->setRevision({});
    pool_.share(std::move(building_));  // straight back to the pool
}

std::shared_ptr<const Image> ChangedFrames::whole(const ImageView& grabbed) {
    discard();
    parts_ = PictureRevision::kMostParts + 1;  // all of it
    std::unique_ptr<Image> frame = pool_.take(width_, height_);
    if (!frame)
        return nullptr;
    const bool scaled =
        scalesToFit_ ? scaler_.scaleToFit(grabbed, *frame) : scaler_.scale(grabbed, *frame);
    if (!scaled) {
        building_ = std::move(frame);
        discard();
        return nullptr;
    }
    target_ = {grabbed.width, grabbed.height};
    const ImageSize bounds{width_, height_};
    inner_ = scalesToFit_ ? fittedArea(target_, bounds) : PixelRect{0, 0, width_, height_};
    return handOut(std::move(frame), {0, 0, width_, height_});
}

bool ChangedFrames::begin(ImageSize target) {
    discard();
    parts_ = 0;
    if (!last_ || target != target_ || lost_)
        return false;
    building_ = pool_.take(width_, height_);
    if (!building_)
        return true;  // finish() says there is no frame
    // The last frame is read only (a receiver may still hold it): copied,
    // but only where it differs from the picture this image holds. Cold
    // memory is dear: a still screen's frame touches only its change.
    const PixelRect whole{0, 0, width_, height_};
    const PixelRect stale =
        history_.since(building_->revision().number).value_or(whole).intersected(whole);
    for (std::uint32_t y = stale.y; y < stale.bottom(); ++y) {
        std::memcpy(building_->row(y) + std::size_t{stale.x} * 4,
                    last_->row(y) + std::size_t{stale.x} * 4, std::size_t{stale.width} * 4);
    }
    return true;
}

std::shared_ptr<const Image> ChangedFrames::update(const ImageView& grabbed,
                                                   const PictureChange& change) {
    if (change.all || !begin({grabbed.width, grabbed.height}))
        return whole(grabbed);
    std::vector<PixelRect> sources;
    for (const PixelRect& part : change.parts) {
        if (const ScaledRegion region = regionOf(part); !region.destination.empty())
            sources.push_back(region.source);
    }
    mergeParts(sources);
    std::uint64_t total = 0;
    for (const PixelRect& source : sources)
        total += areaOf(source);
    if (double(total) > kWholeChangeShare * double(areaOf({0, 0, grabbed.width, grabbed.height})))
        return whole(grabbed);
    if (sources.empty()) {
        discard();
        return last_;
    }
    for (const PixelRect& source : sources) {
        const ScaledRegion region = regionOf(source);
        if (region.destination.empty())
            continue;
        const ImageView part{grabbed.row(region.source.y) + std::size_t{region.source.x} * 4,
                             region.source.width, region.source.height, grabbed.stride,
                             grabbed.alphaIsPadding};
        add(part, region);
    }
    return finish();
}

ScaledRegion ChangedFrames::regionOf(PixelRect changed) {
    return scaler_.regionOf(changed, target_, {inner_.width, inner_.height});
}

void ChangedFrames::add(const ImageView& part, const ScaledRegion& region) {
    const PixelRect touched{inner_.x + region.destination.x, inner_.y + region.destination.y,
                            region.destination.width, region.destination.height};
    if (building_ && !scaler_.scaleRegion(part, target_, region, *building_, inner_))
        discard();
    pending_ = pending_.united(touched);
    if (parts_ < PictureRevision::kMostParts)
        partList_[parts_] = touched;
    ++parts_;
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
