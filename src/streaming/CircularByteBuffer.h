#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "util/ThreadAnnotations.h"

namespace ostrovane::streaming {

// A bounded FIFO of bytes between audio producers and the frame sender. A
// writer never waits: when the bytes do not fit, the oldest ones make room.
// One flat allocation at construction (not zero-filled, so untouched pages
// cost nothing) and at most two bulk copies per call.
//
// Thread-safe: every operation holds the buffer's own lock for its whole
// duration and takes no other lock. Sequences of calls are not atomic.
class CircularByteBuffer {
  public:
    // `capacity` must be at least 1.
    explicit CircularByteBuffer(std::int64_t capacity);

    CircularByteBuffer(const CircularByteBuffer&) = delete;
    CircularByteBuffer& operator=(const CircularByteBuffer&) = delete;

    // Stores at most `capacity` leading bytes of `data`, dropping the oldest
    // held bytes when they would not fit. Returns how many bytes were lost:
    // old ones dropped plus new ones beyond `capacity`.
    std::int64_t write(std::span<const std::uint8_t> data);

    // Removes and returns up to `maxBytes` of the oldest bytes; nothing at all
    // (not an empty buffer) when the buffer is empty. `maxBytes` of 0 on a
    // non-empty buffer returns an empty buffer.
    std::optional<std::vector<std::uint8_t>> read(std::int64_t maxBytes);

    std::int64_t availableBytes() const;
    void clear();

    std::int64_t capacity() const { return capacity_; }

  private:
    const std::int64_t capacity_;
    const std::unique_ptr<std::uint8_t[]> buffer_;
    mutable util::Mutex lock_;
    std::int64_t _readIndex GUARDED_BY(lock_) = 0;   // oldest unread byte
    std::int64_t _writeIndex GUARDED_BY(lock_) = 0;  // == (_readIndex + _count) % capacity_
    std::int64_t _count GUARDED_BY(lock_) = 0;
};

}  // namespace ostrovane::streaming
