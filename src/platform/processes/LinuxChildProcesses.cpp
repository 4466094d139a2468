#include "platform/processes/LinuxChildProcesses.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "util/ThreadAnnotations.h"
#include "util/UniqueFd.h"

extern char** environ;

namespace ostrovane::platform {
namespace {

// Called through syscall(): this C library's header declares them without C linkage.
int pidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}
int pidfdSendSignal(int pidfd, int signal) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

}  // namespace

class LinuxChildProcesses::Child final : public ChildProcess {
  public:
    Child(pid_t pid, UniqueFd pidfd, UniqueFd output, UniqueFd wake, UniqueFd wakeWriter)
        : pid_(pid),
          pidfd_(std::move(pidfd)),
          output_(std::move(output)),
          wake_(std::move(wake)),
          wakeWriter_(std::move(wakeWriter)) {}

    std::int32_t pid() const override { return pid_; }

    // Signals through the pidfd: harmless once the child is reaped.
    void terminate() override { sendSignal(SIGTERM); }
    void sendSignal(int signal) { pidfdSendSignal(pidfd_.get(), signal); }

    // Called on the provider's destruction: the watcher stops reporting.
    void abandon() {
        abandoned_.store(true);
        sendSignal(SIGKILL);
        const char byte = 1;
        [[maybe_unused]] auto written = ::write(wakeWriter_.get(), &byte, 1);
    }

    void watch(const ChildProcessHandlers& handlers);
    bool finished() const { return finished_.load(); }

  private:
    void report(const ChildProcessHandlers& handlers);
    bool drain(const ChildProcessHandlers& handlers);

    const pid_t pid_;
    UniqueFd pidfd_;
    UniqueFd output_;
    UniqueFd wake_;  // read end; readable once the provider goes
    UniqueFd wakeWriter_;
    std::atomic<bool> abandoned_{false};
    std::atomic<bool> finished_{false};
};

// Reads what is available; false at end of file or on a read error.
bool LinuxChildProcesses::Child::drain(const ChildProcessHandlers& handlers) {
    std::vector<std::uint8_t> buffer(64 * 1024);
    const ssize_t n = ::read(output_.get(), buffer.data(), buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (n <= 0)
        return false;
    buffer.resize(static_cast<std::size_t>(n));
    if (!abandoned_.load() && handlers.onOutput)
        handlers.onOutput(std::move(buffer));
    return true;
}

void LinuxChildProcesses::Child::watch(const ChildProcessHandlers& handlers) {
    report(handlers);
    finished_.store(true);
}

void LinuxChildProcesses::Child::report(const ChildProcessHandlers& handlers) {
    bool outputOpen = true;
    bool exited = false;
    siginfo_t info{};
    while (!exited || outputOpen) {
        pollfd fds[3] = {{wake_.get(), POLLIN, 0},
                         {pidfd_.get(), static_cast<short>(exited ? 0 : POLLIN), 0},
                         {outputOpen ? output_.get() : -1, POLLIN, 0}};
        // Once the child is gone, output still held open by a grandchild is
        // read only as far as it is already there.
        const int timeout = exited ? 0 : -1;
        const int ready = ::poll(fds, 3, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (fds[0].revents != 0 || ready < 0)
            break;
        if (outputOpen && (fds[2].revents != 0))
            outputOpen = drain(handlers);
        else if (exited)
            break;  // nothing more waiting
        if (!exited && fds[1].revents != 0) {
            if (::waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED) == 0)
                exited = true;
        }
    }
    if (!exited) {
        // The provider is going: the child was killed; reap it without waiting long.
        ::waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED);
        return;
    }
    if (abandoned_.load() || !handlers.onExit)
        return;
    Termination termination;
    if (info.si_code == CLD_EXITED) {
        termination = {Termination::Reason::exit, info.si_status};
    } else {
        termination = {Termination::Reason::uncaughtSignal, info.si_status};
    }
    handlers.onExit(termination);
}

LinuxChildProcesses::~LinuxChildProcesses() {
    std::vector<Watcher> watchers;
    {
        util::MutexLock lock(mutex_);
        watchers.swap(_watchers);
    }
    for (auto& watcher : watchers)
        watcher.child->abandon();
    // jthreads join as the vector goes.
}

Result<std::shared_ptr<ChildProcess>> LinuxChildProcesses::launch(const ChildProcessSpec& spec,
                                                                  ChildProcessHandlers handlers) {
    auto failure = [&spec](int code) {
        return Error{
            "NSPOSIXErrorDomain", code,
            "The program \"" + spec.executable + "\" could not be started: " + std::strerror(code)};
    };
    int outPipe[2];
    int wakePipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return failure(errno);
    UniqueFd readEnd(outPipe[0]), writeEnd(outPipe[1]);
    if (::pipe2(wakePipe, O_CLOEXEC) != 0)
        return failure(errno);
    UniqueFd wakeRead(wakePipe[0]), wakeWrite(wakePipe[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(spec.executable.c_str()));
    for (const auto& argument : spec.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, spec.executable.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return failure(spawned);
    writeEnd.reset();

    UniqueFd pidfd(pidfdOpen(pid));
    if (!pidfd) {
        const int code = errno;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return failure(code);
    }
    auto child = std::make_shared<Child>(pid, std::move(pidfd), std::move(readEnd),
                                         std::move(wakeRead), std::move(wakeWrite));

    util::MutexLock lock(mutex_);
    // Watchers whose child has been reported are joined as they are dropped.
    const auto self = std::this_thread::get_id();
    std::erase_if(_watchers, [self](const Watcher& w) {
        return w.child->finished() && w.thread.get_id() != self;
    });
    _watchers.push_back(Watcher{
        child, std::jthread([child, handlers = std::move(handlers)] { child->watch(handlers); })});
    return std::shared_ptr<ChildProcess>(child);
}

}  // namespace ostrovane::platform
