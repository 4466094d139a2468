#pragma once

#include <cstddef>
#include <string>

#include "app/LineQueue.h"

namespace ostrovane::app {

// Cuts a byte stream into input lines: strips "\n" or "\r\n", repairs
// ill-formed UTF-8, and keeps at most `limit` bytes of any line (longer lines
// are marked truncated, keep a short beginning and their true length).
class LineAssembler {
  public:
    static constexpr std::size_t kTruncatedPrefixBytes = 200;

    LineAssembler(LineQueue& queue, std::size_t limit) : queue_(queue), limit_(limit) {}

    void append(const char* data, std::size_t size);

    // End of input: a last line without a line feed is still a line.
    void finish();

  private:
    void take(const char* data, std::size_t n);
    void emit();

    LineQueue& queue_;
    const std::size_t limit_;
    std::string line_;
    std::size_t length_ = 0;  // true length of the current line
};

}  // namespace ostrovane::app
