#include "support/Pipe.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <string>
#include <system_error>

namespace ostrovane::test {

namespace {

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// read() that resumes after EINTR; returns 0 at end of stream.
std::size_t readSome(int fd, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t count = ::read(fd, buffer, size);
        if (count >= 0)
            return static_cast<std::size_t>(count);
        if (errno != EINTR)
            throwErrno("read");
    }
}

}  // namespace

Pipe::Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throwErrno("pipe2");
    read_.reset(fds[0]);
    write_.reset(fds[1]);
}

Pipe Pipe::packets() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        throwErrno("socketpair");
    return Pipe(fds);
}

void Pipe::setWriteNonBlocking() {
    const int flags = ::fcntl(writeFd(), F_GETFL);
    if (flags < 0 || ::fcntl(writeFd(), F_SETFL, flags | O_NONBLOCK) != 0)
        throwErrno("fcntl");
}

std::vector<std::uint8_t> Pipe::readToEnd() {
    std::vector<std::uint8_t> bytes;
    readChunks(readFd(), [&](std::string_view chunk) {
        bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    });
    return bytes;
}

std::string Pipe::readTextToEnd() {
    const auto bytes = readToEnd();
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> Pipe::readExactly(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    std::size_t filled = 0;
    while (filled < count) {
        const std::size_t got = readSome(readFd(), bytes.data() + filled, count - filled);
        if (got == 0)
            break;
        filled += got;
    }
    bytes.resize(filled);
    return bytes;
}

std::string Pipe::readMessage() {
    std::string message(1 << 20, '\0');
    message.resize(readSome(readFd(), message.data(), message.size()));
    return message;
}

void readChunks(int fd, const std::function<void(std::string_view)>& take) {
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            take({buffer, static_cast<std::size_t>(n)});
        else if (errno != EINTR)
            return;
    }
}

void ignoreSigpipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace ostrovane::test
