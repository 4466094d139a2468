// A child's output cut into lines: chunk boundaries taken from the input
// itself must give the same lines as one whole chunk, no line holds a line
// feed or invalid UTF-8, and the unfinished tail stays under the cap.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "monitoring/LogLineSplitter.h"
#include "util/Utf8.h"

using ostrovane::monitoring::LogLineSplitter;

namespace {

std::vector<std::string> split(const std::uint8_t* data, std::size_t size, std::size_t step) {
    LogLineSplitter splitter(256);
    std::vector<std::string> lines;
    const LogLineSplitter::Sink sink{[&](std::string_view line) { lines.emplace_back(line); },
                                     nullptr, nullptr};
    for (std::size_t at = 0; at < size; at += step) {
        const std::size_t n = std::min(step, size - at);
        splitter.push({data + at, n}, sink);
        if (splitter.pendingBytes() > 256)
            __builtin_trap();
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t step = 1 + data[0] % 17;
    const auto whole = split(data + 1, size - 1, size);
    if (split(data + 1, size - 1, step) != whole)
        __builtin_trap();
    for (const auto& line : whole) {
        if (line.empty() || line.find('\n') != std::string::npos || !ostrovane::isValidUtf8(line))
            __builtin_trap();
    }
    return 0;
}
