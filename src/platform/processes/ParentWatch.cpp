#include "platform/processes/ParentWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace ostrovane::platform {

ParentWatch::ParentWatch(pid_t parent, std::function<void()> onEnded)
    : wake_(::eventfd(0, EFD_CLOEXEC)) {
    if (parent <= 1 || !wake_)
        return;
    pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, parent, 0)));
    // The parent may have ended between its fork and this look.
    if (!pidfd_ && errno == ESRCH) {
        onEnded();
        return;
    }
    thread_ = std::thread([this, parent, onEnded = std::move(onEnded)] { run(parent, onEnded); });
}

ParentWatch::~ParentWatch() {
    if (!thread_.joinable())
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_.get(), &one, sizeof one);
    thread_.join();
}

void ParentWatch::run(pid_t parent, const std::function<void()>& onEnded) const {
    pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {pidfd_.get(), POLLIN, 0}};
    // Without a pidfd, a parent that ends hands the helper to another
    // process: the parent pid changes.
    const nfds_t count = pidfd_ ? 2 : 1;
    const int timeout = pidfd_ ? -1 : kPollIntervalMs;
    for (;;) {
        const int ready = ::poll(fds, count, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (fds[0].revents & POLLIN))
            return;
        if ((count == 2 && fds[1].revents != 0) || (count == 1 && ::getppid() != parent)) {
            onEnded();
            return;
        }
    }
}

}  // namespace ostrovane::platform
