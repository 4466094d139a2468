#include "monitoring/LogLineSplitter.h"

#include <algorithm>

namespace ostrovane::monitoring {

void LogLineSplitter::push(std::span<const std::uint8_t> chunk, const Sink& sink) {
    auto begin = chunk.begin();
    while (begin != chunk.end()) {
        const auto feed = std::find(begin, chunk.end(), std::uint8_t{'\n'});
        if (!skippingOversized_) {
            pending_.append(begin, feed);
            if (pending_.size() > maxLineBytes_) {
                pending_.clear();
                pending_.shrink_to_fit();
                skippingOversized_ = true;
                if (sink.onOversizedLine)
                    sink.onOversizedLine();
            }
        }
        if (feed == chunk.end())
            return;
        if (skippingOversized_)
            skippingOversized_ = false;
        else
            finishLine(sink);
        begin = feed + 1;
    }
}

void LogLineSplitter::finishLine(const Sink& sink) {
    std::string line;
    line.swap(pending_);
    if (line.empty())
        return;
    if (!isValidUtf8(line)) {
        if (sink.onInvalidLine)
            sink.onInvalidLine();
        return;
    }
    sink.onLine(line);
}

bool isValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0)
                low = 0xA0;  // no overlongs
            if (c == 0xED)
                high = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0)
                low = 0x90;
            if (c == 0xF4)
                high = 0x8F;  // nothing beyond U+10FFFF
        } else {
            return false;
        }
        if (n - i < length)
            return false;
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        if (second < low || second > high)
            return false;
        for (std::size_t k = 2; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if (next < 0x80 || next > 0xBF)
                return false;
        }
        i += length;
    }
    return true;
}

}  // namespace ostrovane::monitoring
