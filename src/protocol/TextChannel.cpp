#include "protocol/TextChannel.h"

#include <cstdint>
#include <mutex>
#include <new>
#include <span>
#include <string>

#include "util/WriteAll.h"

namespace ostrovane::protocol {

namespace {

void writeJoined(int fd, std::mutex& lineLock, std::string_view first, std::string_view second,
                 std::string_view third) noexcept {
    std::string line;
    try {
        line.reserve(first.size() + second.size() + third.size() + 1);
    } catch (const std::bad_alloc&) {
        return;  // a line we cannot build is dropped, never half-written
    }
    line.append(first).append(second).append(third);
    // Every text is one line: a line feed or carriage return inside it (an
    // error text from a library, a device name) becomes a space.
    for (char& c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    line.push_back('\n');
    // Errors are deliberately ignored: there is no other channel to report on.
    std::lock_guard lock(lineLock);
    (void)writeAll(fd, line);
}

}  // namespace

void TextChannel::writeTagged(std::string_view tag, std::string_view payload) const noexcept {
    writeJoined(fd_, lineLock_, tag, ":", payload);
}

void TextChannel::writeLine(std::string_view line) const noexcept {
    writeJoined(fd_, lineLock_, line, {}, {});
}

}  // namespace ostrovane::protocol
