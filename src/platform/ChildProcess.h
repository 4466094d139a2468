#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/PlatformError.h"

namespace ostrovane::platform {

// How a child process ended: its exit code, or the signal that killed it.
struct Termination {
    enum class Reason { exit, uncaughtSignal };
    Reason reason = Reason::exit;
    int status = 0;
    bool operator==(const Termination&) const = default;
};

struct ChildProcessSpec {
    std::string executable;
    std::vector<std::string> arguments;  // without the executable
};

// Both handlers run on platform threads and must only hand work to a queue.
// onOutput receives standard output in chunks as they are read: a chunk may
// end anywhere, even inside a multi-byte character, and is never empty (end
// of file is not reported as a chunk). onExit is called exactly once, after
// the last chunk. Standard error goes to the null device.
struct ChildProcessHandlers {
    std::function<void(std::vector<std::uint8_t> chunk)> onOutput;
    std::function<void(Termination)> onExit;
};

// A launched child process. Dropping the handle neither kills the child nor
// silences its handlers; terminate() asks it to end.
class ChildProcess {
  public:
    virtual ~ChildProcess() = default;
    virtual std::int32_t pid() const = 0;
    virtual void terminate() = 0;
};

class ChildProcesses {
  public:
    virtual ~ChildProcesses() = default;

    // Launches the executable with a fresh pipe on standard output. A launch
    // that fails calls no handler.
    virtual Result<std::shared_ptr<ChildProcess>> launch(const ChildProcessSpec& spec,
                                                         ChildProcessHandlers handlers) = 0;
};

}  // namespace ostrovane::platform
