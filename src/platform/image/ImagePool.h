#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/image/Image.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform {

// Frame images of one stream, allocated once and reused. An image is handed
// out as shared_ptr<const Image>; when the last receiver lets go it comes
// back here (its deleter returns it under the pool's lock, which also orders
// the receiver's reads before our next write). An image still held is never
// written. At most `capacity` images exist; with all of them held the stream
// skips frames instead of allocating more.
class ImagePool {
  public:
    explicit ImagePool(std::size_t capacity)
        : shared_(std::make_shared<Shared>()), capacity_(capacity) {}

    // A free image of this size, or nothing when all are held. Its contents
    // are the previous frame's.
    std::unique_ptr<Image> take(std::uint32_t width, std::uint32_t height);
    // Hands `image` out; it returns to the pool when released.
    std::shared_ptr<const Image> share(std::unique_ptr<Image> image);

  private:
    struct Shared {
        util::Mutex mutex;
        std::vector<std::unique_ptr<Image>> _free GUARDED_BY(mutex);
        std::size_t _existing GUARDED_BY(mutex) = 0;
    };
    std::shared_ptr<Shared> shared_;
    const std::size_t capacity_;
};

}  // namespace ostrovane::platform
