#include "support/LineCollector.h"

#include <unistd.h>

#include "support/Pipe.h"

namespace ostrovane::test {

LineCollector::LineCollector(int fd) : thread_([this, fd] { run(fd); }) {}

LineCollector::~LineCollector() {
    if (thread_.joinable())
        thread_.join();
}

void LineCollector::run(int fd) {
    readChunks(fd, [this](std::string_view chunk) {
        std::lock_guard lock(mutex_);
        for (char c : chunk) {
            if (c == '\n') {
                _lines.push_back(std::move(_partial));
                _partial.clear();
            } else {
                _partial.push_back(c);
            }
        }
        changed_.notify_all();
    });
    ::close(fd);
    std::lock_guard lock(mutex_);
    _ended = true;
    changed_.notify_all();
}

std::optional<std::size_t> LineCollector::waitForLine(const std::string& line, std::size_t from,
                                                      std::chrono::milliseconds limit) {
    return waitForLineMatching([&](const std::string& l) { return l == line; }, from, limit);
}

std::optional<std::size_t> LineCollector::waitForLineMatching(
    const std::function<bool(const std::string&)>& match, std::size_t from,
    std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    std::optional<std::size_t> found;
    changed_.wait_for(lock, limit, [&] {
        for (std::size_t i = from; i < _lines.size(); ++i) {
            if (match(_lines[i])) {
                found = i;
                return true;
            }
        }
        return _ended;
    });
    return found;
}

std::optional<std::string> LineCollector::waitForRest(const std::string& prefix, std::size_t from,
                                                      std::chrono::milliseconds limit) {
    const auto at = waitForLineMatching(
        [&](const std::string& line) { return line.starts_with(prefix); }, from, limit);
    return at ? std::optional(lines()[*at].substr(prefix.size())) : std::nullopt;
}

bool LineCollector::waitForLineCount(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return _lines.size() >= count || _ended; }) &&
           _lines.size() >= count;
}

std::vector<std::string> LineCollector::lines() const {
    std::lock_guard lock(mutex_);
    return _lines;
}

}  // namespace ostrovane::test
