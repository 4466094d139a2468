#include "support/MemoryChannels.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace ostrovane::test {

namespace {

int makeMemoryFile(const char* name) {
    const int fd = ::memfd_create(name, MFD_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("memfd_create failed");
    return fd;
}

// Everything written so far, read through a description of its own (from the start).
std::vector<std::uint8_t> readAll(int fd) {
    std::ifstream in("/proc/self/fd/" + std::to_string(fd), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

MemoryChannels::MemoryChannels()
    : textFd_(makeMemoryFile("text")),
      frameFd_(makeMemoryFile("frames")),
      text_(textFd_.get()),
      frames_(frameFd_.get()) {}

// Whole lines only: a line still being written is left for the next read.
std::vector<std::string> MemoryChannels::lines() const {
    const auto bytes = readAll(textFd_.get());
    std::istringstream text(std::string(bytes.begin(), bytes.end()));
    std::vector<std::string> out;
    for (std::string line; std::getline(text, line) && !text.eof();)
        out.push_back(std::move(line));
    return out;
}

std::vector<std::string> MemoryChannels::newLines() {
    auto all = lines();
    std::vector<std::string> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
    seen_ = all.size();
    return fresh;
}

std::vector<std::uint8_t> MemoryChannels::outputBytes() const {
    return readAll(frameFd_.get());
}

std::vector<protocol::Frame> MemoryChannels::frames() const {
    return protocol::readAllFrames(outputBytes());
}

std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines,
                                           const std::string& prefix) {
    std::vector<std::string> out;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
                 [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    return out;
}

}  // namespace ostrovane::test
