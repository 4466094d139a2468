#include "util/WriteAll.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace ostrovane {

namespace {

// Blocks until `fd` accepts data again. Hang-ups and errors are left for the
// next write to report with its own errno.
int waitWritable(int fd) noexcept {
    pollfd entry{fd, POLLOUT, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if ((entry.revents & POLLNVAL) != 0) {
            return EBADF;
        }
        return 0;
    }
}

}  // namespace

int writeAll(int fd, std::span<const std::uint8_t> bytes) noexcept {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(written));
            continue;
        }
        if (written == 0) {
            return EIO;
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error == EAGAIN || error == EWOULDBLOCK) {
            if (const int pollError = waitWritable(fd); pollError != 0) {
                return pollError;
            }
            continue;
        }
        return error;
    }
    return 0;
}

}  // namespace ostrovane
