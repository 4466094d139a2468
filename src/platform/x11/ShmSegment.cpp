#include "platform/x11/ShmSegment.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include "platform/x11/X11Connection.h"

namespace ostrovane::platform::x11 {

std::unique_ptr<ShmSegment> ShmSegment::attach(X11Connection& connection, std::size_t bytes) {
    if (bytes == 0 || !connection.prepareExtension(&xcb_shm_id))
        return nullptr;
    const int shmId = ::shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shmId < 0)
        return nullptr;
    void* address = ::shmat(shmId, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        ::shmctl(shmId, IPC_RMID, nullptr);
        return nullptr;
    }
    const xcb_shm_seg_t segment = xcb_generate_id(connection.get());
    const bool attached = connection.check(
        xcb_shm_attach_checked(connection.get(), segment, static_cast<std::uint32_t>(shmId), 0));
    // Both sides have it mapped (or the server refused): from here on the
    // segment goes away with the last mapping.
    ::shmctl(shmId, IPC_RMID, nullptr);
    if (!attached) {
        ::shmdt(address);
        return nullptr;
    }
    return std::make_unique<ShmSegment>(Key{}, connection, static_cast<std::uint8_t*>(address),
                                        bytes, segment);
}

ShmSegment::ShmSegment(Key, X11Connection& connection, std::uint8_t* address, std::size_t size,
                       xcb_shm_seg_t segment)
    : connection_(connection), address_(address), size_(size), segment_(segment) {}

ShmSegment::~ShmSegment() {
    if (connection_.alive()) {
        // The server keeps its own mapping until it handles this.
        xcb_shm_detach(connection_.get(), segment_);
        xcb_flush(connection_.get());
    }
    ::shmdt(address_);
}

}  // namespace ostrovane::platform::x11
