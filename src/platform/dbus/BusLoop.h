#pragma once

// Serving a connection on a thread of its own: one round of processing after
// another, a poll of the bus and of a stop signal between them, and the stop
// that ends the thread from any other thread or from within a round.

#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "util/UniqueFd.h"

namespace ostrovane::platform::dbus {

// Raised once, by whoever stops a loop; seen by the loop between two rounds
// and as a readable descriptor in its poll.
class StopSignal {
  public:
    StopSignal();
    bool valid() const { return static_cast<bool>(fd_); }
    bool raised() const { return raised_; }
    void raise();
    // Waits up to `interval` for the stop; whether it came.
    bool waitFor(std::chrono::milliseconds interval) const;
    int fd() const { return fd_.get(); }

  private:
    UniqueFd fd_;  // an eventfd
    std::atomic<bool> raised_{false};
};

// Why `serve` returned.
enum class LoopEnd { Stopped, Lost, Done };

// Processes `bus` until `stop` is raised, the connection fails or
// `afterRound` returns false. `afterRound` runs after every round of
// processing, outside sd-bus, so it may call observers. The longest single
// poll is 5 s; the thread wakes earlier for the bus and for the stop.
LoopEnd serve(sd_bus* bus, const StopSignal& stop, const std::function<bool()>& afterRound);

// A thread with its stop signal. stop() (and the destructor) raises the
// signal and joins the thread; from the thread itself, it leaves the thread
// to end once the current round returns.
class LoopThread {
  public:
    LoopThread() = default;
    ~LoopThread() { stop(); }

    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

    // Runs `body` on a new thread; empty, or why it could not start. The
    // signal is shared with the thread, which may outlive this object.
    std::string start(std::function<void(const StopSignal&)> body);
    void stop();

  private:
    std::shared_ptr<StopSignal> stop_;
    std::thread thread_;
};

}  // namespace ostrovane::platform::dbus
