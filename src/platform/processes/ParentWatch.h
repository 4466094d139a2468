#pragma once

#include <sys/types.h>

#include <functional>
#include <thread>

#include "util/UniqueFd.h"

namespace ostrovane::platform {

// Learns when the process that started the helper ends, however it ends
// (SIGKILL included): the helper must not outlive a parent that crashed, as
// nobody would read it or stop it any more. A pidfd says so at once; where
// the kernel has none, the parent pid is polled.
//
// `onEnded` runs once, on the watch's own thread. The destructor stops the
// watch and returns once that thread has; `onEnded` does not run after it.
class ParentWatch {
  public:
    static constexpr int kPollIntervalMs = 200;

    // Watches `parent`; a parent of 1 (started by init, or orphaned already)
    // is not watched.
    ParentWatch(pid_t parent, std::function<void()> onEnded);
    ~ParentWatch();

    ParentWatch(const ParentWatch&) = delete;
    ParentWatch& operator=(const ParentWatch&) = delete;

  private:
    void run(pid_t parent, const std::function<void()>& onEnded) const;

    UniqueFd pidfd_;
    UniqueFd wake_;  // an eventfd the destructor signals
    std::thread thread_;
};

}  // namespace ostrovane::platform
