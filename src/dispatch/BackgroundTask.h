#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>

#include "dispatch/Clock.h"

namespace ostrovane::dispatch {

// A long-running job on a thread of its own, for loops that pace themselves
// (the audio sender wakes every 0.1 s). The body receives a context through
// which it sleeps on the clock and learns that it should stop.
//
// The destructor requests a stop and joins: a task never outlives its owner.
// Only when the body itself drops the last owner is the thread detached; the
// body then sees the stop request and must return without touching the owner.
class BackgroundTask {
  public:
    class Context {
      public:
        Context(Clock& clock, std::stop_token stop) : clock_(clock), stop_(std::move(stop)) {}

        Clock& clock() const { return clock_; }
        bool stopRequested() const { return stop_.stop_requested(); }
        const std::stop_token& stopToken() const { return stop_; }

        // Sleeps for `d` on the clock. Returns false when a stop was requested.
        // Once a stop was requested the clock is not touched again: a task
        // abandoned by its owner may outlive the clock.
        bool sleepFor(Duration d) const {
            if (stop_.stop_requested())
                return false;
            return clock_.sleepUntil(clock_.uptime() + d, stop_) && !stop_.stop_requested();
        }

      private:
        Clock& clock_;
        std::stop_token stop_;
    };

    BackgroundTask(Clock& clock, std::string name, std::function<void(Context&)> body);
    ~BackgroundTask();

    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;

    const std::string& name() const { return name_; }
    void requestStop() { thread_.request_stop(); }
    // Waits for the body to return. Must not be called from the body.
    void join();

  private:
    std::string name_;
    Clock& clock_;
    std::shared_ptr<std::atomic<bool>> abandoned_;  // shared with the thread
    std::jthread thread_;
};

}  // namespace ostrovane::dispatch
