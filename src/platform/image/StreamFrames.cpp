#include "platform/image/StreamFrames.h"

#include <algorithm>

namespace ostrovane::platform {

namespace {
std::uint32_t side(std::int64_t configured) {
    return static_cast<std::uint32_t>(std::max<std::int64_t>(configured, 1));
}

bool scaleInto(ImageScaler& scaler, bool scalesToFit, const ImageView& source, Image& destination) {
    return scalesToFit ? scaler.scaleToFit(source, destination) : scaler.scale(source, destination);
}
}  // namespace

StreamFrames::StreamFrames(const StreamConfiguration& configuration)
    : width_(side(configuration.width)),
      height_(side(configuration.height)),
      scalesToFit_(configuration.scalesToFit),
      pool_(kImagesInFlight) {}

std::shared_ptr<const Image> StreamFrames::scale(const ImageView& grabbed) {
    std::unique_ptr<Image> frame = pool_.take(width_, height_);
    if (!frame)
        return nullptr;
    const bool scaled = scaleInto(scaler_, scalesToFit_, grabbed, *frame);
    // A frame that could not be scaled goes straight back to the pool.
    std::shared_ptr<const Image> shared = pool_.share(std::move(frame));
    return scaled ? shared : nullptr;
}

std::optional<Image> scaleStill(const ImageView& grabbed, const StreamConfiguration& configuration,
                                ImageScaler& scaler) {
    Image still(side(configuration.width), side(configuration.height));
    if (!scaleInto(scaler, configuration.scalesToFit, grabbed, still))
        return std::nullopt;
    return still;
}

}  // namespace ostrovane::platform
