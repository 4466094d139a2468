#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ostrovane::test {

// A pipe (or a packet socket pair) whose descriptors close with the object.
class Pipe {
  public:
    // An ordinary pipe: a byte stream, as the helper's channels are.
    Pipe();
    // A SOCK_SEQPACKET socket pair: every write arrives as one message, which
    // lets a test see how many write calls produced the bytes.
    static Pipe packets();

    ~Pipe();
    Pipe(Pipe&& other) noexcept;
    Pipe& operator=(Pipe&&) = delete;
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int readFd() const { return readFd_; }
    int writeFd() const { return writeFd_; }
    void closeRead();
    void closeWrite();
    void setWriteNonBlocking();

    // Reads until end of stream; close the write end first.
    std::vector<std::uint8_t> readToEnd();
    std::string readTextToEnd();
    // Reads exactly `count` bytes (fewer only at end of stream).
    std::vector<std::uint8_t> readExactly(std::size_t count);
    // Reads one message of a packet pair; empty at end of stream.
    std::string readMessage();

  private:
    Pipe(int readFd, int writeFd) : readFd_(readFd), writeFd_(writeFd) {}

    int readFd_ = -1;
    int writeFd_ = -1;
};

// Makes writes to a closed pipe fail with EPIPE instead of killing the test
// process, as the helper arranges at start-up.
void ignoreSigpipe();

}  // namespace ostrovane::test
