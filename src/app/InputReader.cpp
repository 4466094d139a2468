#include "app/InputReader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "app/LineAssembler.h"

namespace ostrovane::app {

InputReader::InputReader(int fd, LineQueue& queue, std::size_t maxLineBytes)
    : fd_(fd), queue_(queue), maxLineBytes_(maxLineBytes) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    wakeRead_.reset(fds[0]);
    wakeWrite_.reset(fds[1]);
    thread_ = std::thread([this] { run(); });
}

InputReader::~InputReader() {
    const char byte = 0;
    [[maybe_unused]] auto ignored = ::write(wakeWrite_.get(), &byte, 1);
    thread_.join();
}

void InputReader::run() {
    LineAssembler lines(queue_, maxLineBytes_);
    std::array<char, 64 * 1024> buffer;
    for (;;) {
        std::array<pollfd, 2> fds{{{fd_, POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0)
            return;  // the owner is going away; nothing more is queued
        const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n > 0) {
            lines.append(buffer.data(), static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        } else {
            break;  // end of input, or an input that can no longer be read
        }
    }
    lines.finish();
    queue_.finish();
}

}  // namespace ostrovane::app
