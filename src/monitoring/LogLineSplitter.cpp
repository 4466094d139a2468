#include "monitoring/LogLineSplitter.h"

#include <algorithm>

#include "util/Utf8.h"

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

}  // namespace ostrovane::monitoring
