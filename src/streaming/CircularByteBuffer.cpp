#include "streaming/CircularByteBuffer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace ostrovane::streaming {

namespace {
std::int64_t checkedCapacity(std::int64_t capacity) {
    if (capacity < 1)
        throw std::invalid_argument("CircularByteBuffer capacity must be at least 1");
    return capacity;
}
}  // namespace

CircularByteBuffer::CircularByteBuffer(std::int64_t capacity)
    : capacity_(checkedCapacity(capacity)),
      buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(capacity))) {
    // Every page is touched now, once: otherwise the ring's first lap faults
    // a fresh page in every few buffers, on the thread that delivers audio.
    std::fill_n(buffer_.get(), capacity_, std::uint8_t{0});
}

std::int64_t CircularByteBuffer::write(std::span<const std::uint8_t> data) {
    util::MutexLock guard(lock_);
    const auto size = static_cast<std::int64_t>(data.size());
    const std::int64_t n = std::min(capacity_, size);
    if (n == 0)
        return 0;
    const std::int64_t overflow = n - (capacity_ - _count);
    const std::int64_t lost = std::max<std::int64_t>(overflow, 0) + (size - n);
    if (overflow > 0) {
        _readIndex = (_readIndex + overflow) % capacity_;
        _count = capacity_ - n;
    }
    const std::int64_t first = std::min(n, capacity_ - _writeIndex);
    std::memcpy(buffer_.get() + _writeIndex, data.data(), static_cast<std::size_t>(first));
    std::memcpy(buffer_.get(), data.data() + first, static_cast<std::size_t>(n - first));
    _writeIndex = (_writeIndex + n) % capacity_;
    _count += n;
    return lost;
}

std::optional<std::vector<std::uint8_t>> CircularByteBuffer::read(std::int64_t maxBytes) {
    util::MutexLock guard(lock_);
    if (_count == 0)
        return std::nullopt;
    const std::int64_t n = std::clamp<std::int64_t>(maxBytes, 0, _count);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(n));
    if (n == 0)
        return out;
    const std::int64_t first = std::min(n, capacity_ - _readIndex);
    std::memcpy(out.data(), buffer_.get() + _readIndex, static_cast<std::size_t>(first));
    std::memcpy(out.data() + first, buffer_.get(), static_cast<std::size_t>(n - first));
    _readIndex = (_readIndex + n) % capacity_;
    _count -= n;
    return out;
}

std::int64_t CircularByteBuffer::availableBytes() const {
    util::MutexLock guard(lock_);
    return _count;
}

void CircularByteBuffer::clear() {
    util::MutexLock guard(lock_);
    _readIndex = 0;
    _writeIndex = 0;
    _count = 0;
}

}  // namespace ostrovane::streaming
