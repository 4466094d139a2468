#include "app/LineAssembler.h"

#include <algorithm>
#include <cstring>

#include "util/Utf8.h"

namespace ostrovane::app {

void LineAssembler::append(const char* data, std::size_t size) {
    const char* end = data + size;
    while (data < end) {
        const auto* newline = static_cast<const char*>(std::memchr(data, '\n', end - data));
        const char* stop = newline ? newline : end;
        take(data, static_cast<std::size_t>(stop - data));
        if (!newline)
            break;
        emit();
        data = newline + 1;
    }
}

void LineAssembler::finish() {
    if (length_ > 0)
        emit();
}

void LineAssembler::take(const char* data, std::size_t n) {
    if (line_.size() < limit_)
        line_.append(data, std::min(n, limit_ - line_.size()));
    length_ += n;
}

void LineAssembler::emit() {
    InputLine out;
    out.truncated = length_ > limit_;
    std::string bytes = std::move(line_);
    if (out.truncated) {
        bytes.resize(std::min(bytes.size(), kTruncatedPrefixBytes));
    } else if (!bytes.empty() && bytes.back() == '\r') {
        bytes.pop_back();
    }
    out.length = out.truncated ? length_ : bytes.size();
    out.text = repairUtf8(bytes);
    queue_.push(std::move(out));
    line_.clear();
    length_ = 0;
}

}  // namespace ostrovane::app
