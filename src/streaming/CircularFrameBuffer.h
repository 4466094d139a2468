#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "util/ThreadAnnotations.h"

namespace ostrovane::streaming {

// A bounded FIFO of whole elements (delivered audio chunks). Appending to a
// full buffer drops the oldest element. Empty is head == tail and there is no
// separate count, so a buffer of `capacity` slots holds at most capacity - 1.
//
// Thread-safe: every operation holds the buffer's own lock for its whole
// duration and takes no other lock.
template <class T>
class CircularFrameBuffer {
  public:
    // `capacity` must be at least 1.
    explicit CircularFrameBuffer(std::int64_t capacity)
        : capacity_(capacity >= 1 ? capacity
                                  : throw std::invalid_argument(
                                        "CircularFrameBuffer capacity must be at least 1")),
          _slots(static_cast<std::size_t>(capacity)) {}

    CircularFrameBuffer(const CircularFrameBuffer&) = delete;
    CircularFrameBuffer& operator=(const CircularFrameBuffer&) = delete;

    // Returns the oldest element when it had to make room, so that the
    // caller can account for it (and free it outside the lock).
    std::optional<T> append(T element) {
        util::MutexLock guard(lock_);
        auto& slot = _slots[static_cast<std::size_t>(_tail)];
        std::optional<T> dropped;
        const std::int64_t next = (_tail + 1) % capacity_;
        if (next == _head) {
            // Full: the oldest element goes. It sits in the slot just after
            // the new one.
            auto& oldest = _slots[static_cast<std::size_t>(_head)];
            dropped = std::move(oldest);
            oldest.reset();
            _head = (_head + 1) % capacity_;
        }
        slot = std::move(element);
        _tail = next;
        return dropped;
    }

    std::optional<T> removeFirst() {
        util::MutexLock guard(lock_);
        if (_head == _tail)
            return std::nullopt;
        auto& slot = _slots[static_cast<std::size_t>(_head)];
        std::optional<T> value = std::move(slot);
        slot.reset();
        _head = (_head + 1) % capacity_;
        return value;
    }

    std::int64_t count() const {
        util::MutexLock guard(lock_);
        return _tail >= _head ? _tail - _head : capacity_ - _head + _tail;
    }

    bool isEmpty() const {
        util::MutexLock guard(lock_);
        return _head == _tail;
    }

    void clear() {
        util::MutexLock guard(lock_);
        _head = 0;
        _tail = 0;
        _slots.assign(static_cast<std::size_t>(capacity_), std::nullopt);
    }

    std::int64_t capacity() const { return capacity_; }

  private:
    const std::int64_t capacity_;
    mutable util::Mutex lock_;
    std::vector<std::optional<T>> _slots GUARDED_BY(lock_);
    std::int64_t _head GUARDED_BY(lock_) = 0;  // oldest element
    std::int64_t _tail GUARDED_BY(lock_) = 0;  // next free slot
};

}  // namespace ostrovane::streaming
