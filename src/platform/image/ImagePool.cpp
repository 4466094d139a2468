#include "platform/image/ImagePool.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform {

std::unique_ptr<Image> ImagePool::take(std::uint32_t width, std::uint32_t height) {
    util::MutexLock lock(shared_->mutex);
    auto& free = shared_->_free;
    for (auto it = free.begin(); it != free.end(); ++it) {
        if ((*it)->width() == width && (*it)->height() == height) {
            auto image = std::move(*it);
            free.erase(it);
            return image;
        }
    }
    // Images of another size are of no more use.
    shared_->_existing -= free.size();
    free.clear();
    if (shared_->_existing >= capacity_)
        return nullptr;
    ++shared_->_existing;
    return std::make_unique<Image>(width, height);
}

std::shared_ptr<const Image> ImagePool::share(std::unique_ptr<Image> image) {
    std::weak_ptr<Shared> home = shared_;
    return std::shared_ptr<const Image>(image.release(), [home](const Image* released) {
        std::unique_ptr<Image> owned(const_cast<Image*>(released));
        if (auto pool = home.lock()) {
            util::MutexLock lock(pool->mutex);
            pool->_free.push_back(std::move(owned));
        }
    });
}

}  // namespace ostrovane::platform
