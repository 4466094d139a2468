#include "protocol/TextChannel.h"

#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <new>
#include <span>
#include <string>

#include "util/WriteAll.h"

namespace ostrovane::protocol {

namespace {

// The output lock: every text line of the process goes out under it,
// whichever channel object or component writes it.
std::mutex& outputLock() {
    static std::mutex lock;
    return lock;
}

void writeJoined(int fd, std::string_view first, std::string_view second,
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
    std::lock_guard lock(outputLock());
    (void)writeAll(fd, line);
}

}  // namespace

void TextChannel::writeTagged(std::string_view tag, std::string_view payload) const noexcept {
    writeJoined(fd_, tag, ":", payload);
}

void TextChannel::writeLine(std::string_view line) const noexcept {
    writeJoined(fd_, line, {}, {});
}

void logLine(std::string_view line) noexcept {
    TextChannel(STDERR_FILENO).logToStderr(line);
}

}  // namespace ostrovane::protocol
