#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/FrameReader.h"
#include "support/LineCollector.h"
#include "util/Subprocess.h"

namespace ostrovane::bench {

// The helper binary as a parent runs it, with exactly the environment given
// (a private sound server's variables and DISPLAY, say). Its standard output
// is read continuously on a thread of its own and decoded frame by frame, so
// the helper never blocks on a full pipe; its standard error is collected
// line by line. The destructor stops the helper with STOP, kills it if it
// does not exit in time, and joins the readers.
class StreamingHelper {
  public:
    using Clock = std::chrono::steady_clock;
    // Called on the reading thread for every frame, with the time the read
    // that completed it returned.
    using FrameHandler = std::function<void(const protocol::Frame&, Clock::time_point)>;

    // Throws std::runtime_error when the helper cannot be started.
    StreamingHelper(const std::vector<std::string>& environment, FrameHandler handler);
    ~StreamingHelper();

    StreamingHelper(const StreamingHelper&) = delete;
    StreamingHelper& operator=(const StreamingHelper&) = delete;

    pid_t pid() const { return process_->pid(); }
    test::LineCollector& errors() { return *errors_; }

    // Sends START_STREAMING and waits (at most `limit`) for its answer.
    // Nothing when streaming started, why not otherwise.
    std::optional<std::string> startStreaming(
        std::chrono::milliseconds limit = std::chrono::seconds(10));

    // Frames of each audio type read so far, and the first decoding error.
    std::uint64_t micFrames() const { return micFrames_; }
    std::uint64_t systemFrames() const { return systemFrames_; }
    std::string outputError() const;

    // Waits (at most `limit`) until both audio streams have delivered a frame.
    bool waitForBothStreams(std::chrono::milliseconds limit);

    // The last few lines of standard error, for an error report.
    std::string recentLines(std::size_t count = 5) const;

  private:
    void readOutput(UniqueFd fd);

    FrameHandler handler_;
    std::unique_ptr<Subprocess> process_;
    std::unique_ptr<test::LineCollector> errors_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> micFrames_{0};
    std::atomic<std::uint64_t> systemFrames_{0};
    mutable std::mutex mutex_;
    std::string outputError_;
    std::thread outputThread_;
};

// `environment` (entries NAME=value) with `entry` in place of any entry of
// the same name.
std::vector<std::string> withVariable(std::vector<std::string> environment,
                                      const std::string& entry);

}  // namespace ostrovane::bench
