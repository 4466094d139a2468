#pragma once

#include <xcb/shm.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ostrovane::platform::x11 {

class X11Connection;

// A System V shared memory segment that the X server writes images into
// (MIT-SHM). Made the safe way: readable and writable by our user only
// (0600), shmat checked, the attachment confirmed by the server, and the
// segment marked for removal at once so that it never outlives the two
// processes that map it, whatever way either ends.
class ShmSegment {
  public:
    // Null when shared memory cannot be had or the server cannot attach it
    // (a remote server, another IPC namespace): grab with GetImage then.
    static std::unique_ptr<ShmSegment> attach(X11Connection& connection, std::size_t bytes);
    ~ShmSegment();

    ShmSegment(const ShmSegment&) = delete;
    ShmSegment& operator=(const ShmSegment&) = delete;

    xcb_shm_seg_t id() const { return segment_; }
    const std::uint8_t* data() const { return address_; }
    std::uint8_t* data() { return address_; }
    std::size_t size() const { return size_; }

    class Key {
        friend class ShmSegment;
        Key() = default;
    };
    ShmSegment(Key, X11Connection& connection, std::uint8_t* address, std::size_t size,
               xcb_shm_seg_t segment);

  private:
    X11Connection& connection_;
    std::uint8_t* address_;
    std::size_t size_;
    xcb_shm_seg_t segment_;
};

}  // namespace ostrovane::platform::x11
