#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ostrovane::test {

// Reads a text channel on a thread of its own and keeps its lines, so tests
// can wait for a line with a time limit instead of blocking on a read. Takes
// ownership of the descriptor and stops at end of stream.
class LineCollector {
  public:
    static constexpr std::chrono::seconds kDefaultWait{10};

    explicit LineCollector(int fd);
    ~LineCollector();

    LineCollector(const LineCollector&) = delete;
    LineCollector& operator=(const LineCollector&) = delete;

    // Index of the first line from `from` on that equals `line`, once it came.
    std::optional<std::size_t> waitForLine(const std::string& line, std::size_t from = 0,
                                           std::chrono::milliseconds limit = kDefaultWait);
    std::optional<std::size_t> waitForLineMatching(
        const std::function<bool(const std::string&)>& match, std::size_t from = 0,
        std::chrono::milliseconds limit = kDefaultWait);
    // What follows `prefix` on the first line from `from` on that begins with it.
    std::optional<std::string> waitForRest(const std::string& prefix, std::size_t from = 0,
                                           std::chrono::milliseconds limit = kDefaultWait);
    bool waitForLineCount(std::size_t count, std::chrono::milliseconds limit = kDefaultWait);

    std::vector<std::string> lines() const;

  private:
    void run(int fd);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> _lines;
    std::string _partial;
    bool _ended = false;
    std::thread thread_;
};

}  // namespace ostrovane::test
