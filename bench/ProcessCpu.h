#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrovane::bench {

// CPU time (all live threads, in seconds) a running process has used so
// far, from /proc/<pid>/task/*/schedstat; nothing once it is gone. Threads
// that ended are not counted: measure processes whose threads stay.
std::optional<double> cpuSecondsOf(pid_t pid);

// Context switches (voluntary and involuntary) of all live threads of a
// process so far, from /proc/<pid>/task/*/status; nothing once it is gone.
std::optional<std::uint64_t> contextSwitchesOf(pid_t pid);

// A child of this process whose command name (/proc/<pid>/comm) is `name`.
std::optional<pid_t> childNamed(const std::string& name);

// The CPU a group of processes uses between two readings: start() takes the
// first, elapsed() the difference to now. A process that went away in
// between makes elapsed() empty.
class CpuWindow {
  public:
    explicit CpuWindow(std::vector<pid_t> pids) : pids_(std::move(pids)) {}

    bool start();
    std::optional<double> elapsed() const;

  private:
    std::optional<double> total() const;

    std::vector<pid_t> pids_;
    double start_ = 0;
};

}  // namespace ostrovane::bench
