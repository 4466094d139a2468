#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "util/UniqueFd.h"

namespace ostrovane::test {

// A pipe (or a packet socket pair) whose descriptors close with the object.
class Pipe {
  public:
    // An ordinary pipe: a byte stream, as the helper's channels are.
    Pipe();
    // A SOCK_SEQPACKET socket pair: every write arrives as one message, which
    // lets a test see how many write calls produced the bytes.
    static Pipe packets();

    int readFd() const { return read_.get(); }
    int writeFd() const { return write_.get(); }
    void closeRead() { read_.reset(); }
    void closeWrite() { write_.reset(); }
    void setWriteNonBlocking();

    // Reads until end of stream; close the write end first.
    std::vector<std::uint8_t> readToEnd();
    std::string readTextToEnd();
    // Reads exactly `count` bytes (fewer only at end of stream).
    std::vector<std::uint8_t> readExactly(std::size_t count);
    // Reads one message of a packet pair; empty at end of stream.
    std::string readMessage();

  private:
    explicit Pipe(const int (&fds)[2]) : read_(fds[0]), write_(fds[1]) {}

    UniqueFd read_, write_;
};

// Makes writes to a closed pipe fail with EPIPE instead of killing the test
// process, as the helper arranges at start-up.
void ignoreSigpipe();

// Hands `take` every chunk read from `fd` until end of stream or a read error.
void readChunks(int fd, const std::function<void(std::string_view)>& take);

}  // namespace ostrovane::test
