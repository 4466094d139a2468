#pragma once

#include <functional>
#include <memory>

#include "dispatch/Clock.h"
#include "dispatch/SerialQueue.h"
#include "platform/Platform.h"

namespace ostrovane::app {

// The three channels the helper talks through.
struct AppChannels {
    int input = 0;
    int output = 1;
    int error = 2;
};

// The helper as an object: its channels, its platform, and the command loop
// with the services it owns. The binary builds one on fds 0/1/2 with the
// Linux provider; tests build many on pipes with the simulated one.
//
// Threads: start() posts the command-loop task to the main queue; whoever
// serves the main queue (the process's main thread) thereby starts the loop,
// which then runs on a thread of its own so that work for the main queue still
// runs while a handler waits. The input reader is one more thread.
class App {
  public:
    using ExitProcess = std::function<void(int status)>;

    App(AppChannels channels, platform::Platform& platform, dispatch::Clock& clock,
        dispatch::MainQueue& mainQueue, ExitProcess exitProcess);
    ~App();

    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // Writes the start-up lines and posts the command-loop task.
    void start();

    // True once the command loop has returned (end of input or STOP).
    bool loopEnded() const;

    // The process that started the helper has ended: nobody reads or stops
    // it any more. Stops every service as STOP does, ahead of any queued
    // command, and exits with status 0 within kParentGoneExitBound whatever
    // a running command waits for. Any thread.
    void parentEnded();
    static constexpr dispatch::Duration kParentGoneExitBound = dispatch::milliseconds(900);

    // Stops taking input and waits for the command loop to return, which
    // releases its services. The destructor does the same; an owner that
    // must let the services' last work finish before the channels go calls
    // this first.
    void shutdown();

  private:
    class Runner;
    std::shared_ptr<Runner> runner_;
};

}  // namespace ostrovane::app
