#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "platform/StreamConfiguration.h"
#include "platform/image/Image.h"
#include "platform/image/ImagePool.h"
#include "platform/image/ImageScaling.h"

namespace ostrovane::platform {

// The frames of one capture stream: each grabbed image scaled into the
// configured size (keeping its aspect ratio when the configuration scales
// to fit) in a pooled image. Used by the stream's capturing thread only.
class StreamFrames {
  public:
    // Frames a receiver may hold at once before the stream skips frames: the
    // one being encoded, the latest kept for snapshots, one on its way.
    static constexpr std::size_t kImagesInFlight = 4;

    explicit StreamFrames(const StreamConfiguration& configuration);

    // The scaled frame; null when every pooled image is still held by
    // receivers (the frame is skipped) or the image cannot be scaled.
    std::shared_ptr<const Image> scale(const ImageView& grabbed);
    std::shared_ptr<const Image> scale(const Image& grabbed) {
        return scale(ImageView::of(grabbed));
    }

  private:
    const std::uint32_t width_;
    const std::uint32_t height_;
    const bool scalesToFit_;
    ImageScaler scaler_;
    ImagePool pool_;
};

// One still of `grabbed` at the configured size, by the same rule as a
// stream's frames; nothing when it cannot be scaled. `scaler` keeps its
// scratch for the next still.
std::optional<Image> scaleStill(const ImageView& grabbed, const StreamConfiguration& configuration,
                                ImageScaler& scaler);
inline std::optional<Image> scaleStill(const Image& grabbed,
                                       const StreamConfiguration& configuration,
                                       ImageScaler& scaler) {
    return scaleStill(ImageView::of(grabbed), configuration, scaler);
}

}  // namespace ostrovane::platform
