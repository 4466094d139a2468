#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ChildProcess.h"
#include "platform/sim/PlatformThreads.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::sim {

// What one launch of an executable does. Steps run in order, each `after`
// its predecessor on the clock. Without an exit step the child runs until it
// is terminated (it then dies of signal 15).
struct SimChildScript {
    struct Step {
        dispatch::Duration after{0};
        std::vector<std::uint8_t> output;
        std::optional<Termination> exit;
    };

    std::optional<Error> launchError;
    std::vector<Step> steps;

    static SimChildScript failingLaunch(Error error) { return {std::move(error), {}}; }
    SimChildScript& write(std::string_view bytes, dispatch::Duration after = dispatch::Duration{0});
    // The bytes in chunks of `chunkSize` (the last may be shorter), all at once.
    SimChildScript& writeInChunks(std::string_view bytes, std::size_t chunkSize);
    SimChildScript& exit(int status, dispatch::Duration after = dispatch::Duration{0});
};

// A running scripted child. Tests can also drive it by hand.
class SimChild final : public ChildProcess, public std::enable_shared_from_this<SimChild> {
  public:
    SimChild(std::shared_ptr<PlatformThreads> threads, std::int32_t pid, ChildProcessSpec spec,
             ChildProcessHandlers handlers);

    std::int32_t pid() const override { return pid_; }
    void terminate() override;

    // ---- scripting and observation ----
    void write(std::string_view bytes);
    void exit(Termination termination);
    const ChildProcessSpec& spec() const { return spec_; }
    bool hasExited() const;
    bool terminateRequested() const;

    void run(const SimChildScript& script);

  private:
    void deliverOutput(std::vector<std::uint8_t> bytes);
    void deliverExit(Termination termination);

    std::shared_ptr<PlatformThreads> threads_;
    const std::int32_t pid_;
    const ChildProcessSpec spec_;
    const ChildProcessHandlers handlers_;
    mutable util::Mutex mutex_;
    bool _exited GUARDED_BY(mutex_) = false;  // set when the exit is posted
    bool _terminateRequested GUARDED_BY(mutex_) = false;
};

// Launches scripted children. Each executable has a queue of scripts; a
// launch with an empty queue starts a silent child that runs until it is
// terminated.
class SimChildProcesses final : public ChildProcesses {
  public:
    explicit SimChildProcesses(std::shared_ptr<PlatformThreads> threads);

    void pushScript(const std::string& executable, SimChildScript script);

    // ---- observation ----
    std::vector<ChildProcessSpec> launches() const;  // successful and failed
    std::vector<std::shared_ptr<SimChild>> children() const;
    std::shared_ptr<SimChild> lastChild() const;

    Result<std::shared_ptr<ChildProcess>> launch(const ChildProcessSpec& spec,
                                                 ChildProcessHandlers handlers) override;

  private:
    std::shared_ptr<PlatformThreads> threads_;
    mutable util::Mutex mutex_;
    std::map<std::string, std::deque<SimChildScript>> _scripts GUARDED_BY(mutex_);
    std::vector<ChildProcessSpec> _launches GUARDED_BY(mutex_);
    std::vector<std::shared_ptr<SimChild>> _children GUARDED_BY(mutex_);
    std::int32_t _nextPid GUARDED_BY(mutex_) = 7000;
};

}  // namespace ostrovane::platform::sim
