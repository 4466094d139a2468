#include "HelperCommands.h"

#include "protocol/FrameReader.h"

namespace ostrovane::bench {

std::optional<std::string> answerTo(test::HelperProcess& helper, const std::string& command,
                                    const std::string& prefix) {
    const std::size_t from = helper.errors().lines().size();
    helper.sendLine(command);
    auto at = helper.errors().waitForLineMatching(
        [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, from);
    if (!at)
        return std::nullopt;
    return helper.errors().lines()[*at].substr(prefix.size());
}

std::size_t videoFrameCount(const test::HelperProcess& helper) {
    protocol::FrameReader reader;
    reader.feed(helper.outputBytes());
    std::size_t count = 0;
    for (protocol::Frame frame; reader.next(frame) == protocol::ReadStatus::frame;)
        count += frame.isVideo() ? 1 : 0;
    return count;
}

}  // namespace ostrovane::bench
