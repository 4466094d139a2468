#include "platform/image/StreamFrames.h"

#include <algorithm>

namespace ostrovane::platform {

StreamFrames::StreamFrames(const StreamConfiguration& configuration)
    : width_(static_cast<std::uint32_t>(std::max<std::int64_t>(configuration.width, 1))),
      height_(static_cast<std::uint32_t>(std::max<std::int64_t>(configuration.height, 1))),
      scalesToFit_(configuration.scalesToFit),
      pool_(kImagesInFlight) {}

std::shared_ptr<const Image> StreamFrames::scale(const Image& grabbed) {
    std::unique_ptr<Image> frame = pool_.take(width_, height_);
    if (!frame)
        return nullptr;
    const bool scaled =
        scalesToFit_ ? scaler_.scaleToFit(grabbed, *frame) : scaler_.scale(grabbed, *frame);
    // A frame that could not be scaled goes straight back to the pool.
    std::shared_ptr<const Image> shared = pool_.share(std::move(frame));
    return scaled ? shared : nullptr;
}

}  // namespace ostrovane::platform
