#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/App.h"
#include "dispatch/ManualClock.h"
#include "platform/Platform.h"
#include "support/LineCollector.h"
#include "support/MemoryChannels.h"
#include "support/Pipe.h"

namespace ostrovane::test {

// The app in-process: commands through a pipe, text lines collected from a
// pipe, frames into memory, time on the caller's manual clock, and the main
// queue served by a thread of its own.
class InProcessApp {
  public:
    InProcessApp(dispatch::ManualClock& clock, platform::Platform platform);
    ~InProcessApp();

    InProcessApp(const InProcessApp&) = delete;
    InProcessApp& operator=(const InProcessApp&) = delete;

    void send(const std::string& line);
    // Waits for "CMD_RESPONSE:" + payload; its line index.
    std::optional<std::size_t> answer(const std::string& payload, std::size_t from = 0);
    // The payload of the next response from line `from` on that begins with
    // `prefix` (the prefix included), or nothing in time.
    std::optional<std::string> answerStartingWith(const std::string& prefix, std::size_t from = 0);

    LineCollector& errors() { return *errors_; }
    std::vector<std::string> lines() const { return errors_->lines(); }
    std::vector<protocol::Frame> frames() const { return memory_.frames(); }
    int exitStatus() const { return exitStatus_.load(); }

  private:
    dispatch::ManualClock& clock_;
    platform::Platform platform_;
    dispatch::MainQueue mainQueue_;
    Pipe input_, errorPipe_;
    MemoryChannels memory_;
    std::unique_ptr<LineCollector> errors_;
    std::thread mainThread_;
    std::atomic<int> exitStatus_{-1};
    std::unique_ptr<app::App> app_;
};

}  // namespace ostrovane::test
