#pragma once

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ChildProcess.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform {

// Child processes started with posix_spawn: standard output on a pipe,
// standard error on /dev/null, standard input, environment and working
// directory inherited. One watcher thread per child reads the pipe, reaps the
// child (through a pidfd, so a reused pid is never signalled) and calls the
// handlers: the chunks, then the exit once.
//
// Destroying the facility kills the children still running and joins their
// watchers; their exits are then not reported.
class LinuxChildProcesses final : public ChildProcesses {
  public:
    LinuxChildProcesses() = default;
    ~LinuxChildProcesses() override;

    Result<std::shared_ptr<ChildProcess>> launch(const ChildProcessSpec& spec,
                                                 ChildProcessHandlers handlers) override;

  private:
    class Child;
    struct Watcher {
        std::shared_ptr<Child> child;
        std::jthread thread;
    };

    util::Mutex mutex_;
    std::vector<Watcher> _watchers GUARDED_BY(mutex_);
};

}  // namespace ostrovane::platform
