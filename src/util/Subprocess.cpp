#include "util/Subprocess.h"

#include "util/WriteAll.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace ostrovane {

namespace {
struct PipePair {
    UniqueFd read;
    UniqueFd write;
};

PipePair makePipe() {
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// posix_spawn's file actions, released however the spawn ends.
class FileActions {
  public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    void dup2(int from, int to) { posix_spawn_file_actions_adddup2(&actions_, from, to); }
    void append(int to, const std::string& path) {
        posix_spawn_file_actions_addopen(&actions_, to, path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
    }
    // Last: the descriptors the parent did not mark close-on-exec stay ours.
    void closeTheRest() { posix_spawn_file_actions_addclosefrom_np(&actions_, 3); }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};
// posix_spawn's attributes, released however the spawn ends.
class SpawnAttributes {
  public:
    explicit SpawnAttributes(pid_t processGroup) {
        posix_spawnattr_init(&attributes_);
        if (processGroup >= 0) {
            posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETPGROUP);
            posix_spawnattr_setpgroup(&attributes_, processGroup);
        }
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
};

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

gid_t primaryGroupOf(uid_t user, const std::string& program) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        throw std::runtime_error("cannot start " + program + ": no user with id " +
                                 std::to_string(user));
    return found->pw_gid;
}

// What the child does between fork and exec; only async-signal-safe calls.
struct ChildSetup {
    int stdinFrom = -1;
    int stdoutFrom = -1;  // -1: append to `log`
    int stderrFrom = -1;  // -1: append to `log`
    const char* log = nullptr;
    pid_t processGroup = -1;
    uid_t user = 0;
    gid_t group = 0;
    bool searchPath = false;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    int report = -1;  // close-on-exec; carries the failed step and errno
};

constexpr const char* kSteps[] = {"redirect its standard streams",
                                  "join its process group",
                                  "drop supplementary groups",
                                  "switch group",
                                  "switch user",
                                  "execute it"};

[[noreturn]] void failChild(int report, int step) {
    const int message[2] = {step, errno};
    [[maybe_unused]] const ssize_t ignored = ::write(report, message, sizeof message);
    ::_exit(127);
}

bool redirect(int from, int to, const char* log) {
    if (from < 0) {
        from = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (from < 0)
            return false;
    }
    if (from == to)
        return ::fcntl(to, F_SETFD, 0) == 0;
    return ::dup2(from, to) == to;
}

[[noreturn]] void runChild(const ChildSetup& setup) {
    if (!redirect(setup.stdinFrom, 0, setup.log) || !redirect(setup.stdoutFrom, 1, setup.log) ||
        !redirect(setup.stderrFrom, 2, setup.log)) {
        failChild(setup.report, 0);
    }
    if (setup.processGroup >= 0 && ::setpgid(0, setup.processGroup) != 0)
        failChild(setup.report, 1);
    if (::setgroups(0, nullptr) != 0)
        failChild(setup.report, 2);
    if (::setgid(setup.group) != 0)
        failChild(setup.report, 3);
    if (::setuid(setup.user) != 0)
        failChild(setup.report, 4);
    // The descriptors the parent did not mark close-on-exec stay ours; the
    // report goes on exec too, telling the parent the program runs.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    if (setup.searchPath)
        ::execvpe(setup.argv[0], setup.argv, setup.envp);
    else
        ::execve(setup.argv[0], setup.argv, setup.envp);
    failChild(setup.report, 5);
}

// Forks a child that becomes `setup.user` before it executes the program;
// posix_spawn cannot switch users. Returns once the child has executed it,
// or throws with the step that failed.
pid_t spawnAs(ChildSetup setup, const std::string& program) {
    PipePair report = makePipe();
    setup.report = report.write.get();
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("cannot start " + program + ": fork failed");
    if (pid == 0)
        runChild(setup);
    report.write.reset();
    int message[2] = {0, 0};
    ssize_t n;
    do {
        n = ::read(report.read.get(), message, sizeof message);
    } while (n < 0 && errno == EINTR);
    if (n == 0)
        return pid;  // the report closed on exec
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const int step = n == sizeof message && message[0] >= 0 && message[0] <= 5 ? message[0] : 5;
    throw std::runtime_error("cannot start " + program + " as user " + std::to_string(setup.user) +
                             ": cannot " + kSteps[step] + ": " + std::strerror(message[1]));
}
}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv, Options options) {
    if (argv.empty())
        throw std::invalid_argument("Subprocess needs a program");
    auto in = makePipe();
    auto out = makePipe();
    auto err = makePipe();

    const bool logged = !options.logFile.empty();
    std::vector<std::string> args = argv;
    std::vector<char*> pointers = pointersTo(args);
    std::vector<char*> environment =
        options.environment.empty() ? std::vector<char*>{} : pointersTo(options.environment);
    char* const* envp = options.environment.empty() ? environ : environment.data();

    if (options.user) {
        ChildSetup setup;
        setup.stdinFrom = in.read.get();
        setup.stdoutFrom = logged && options.outputToLog ? -1 : out.write.get();
        setup.stderrFrom = logged ? -1 : err.write.get();
        setup.log = options.logFile.c_str();
        setup.processGroup = options.processGroup;
        setup.user = *options.user;
        setup.group = options.group ? *options.group : primaryGroupOf(*options.user, argv[0]);
        setup.searchPath = options.searchPath;
        setup.argv = pointers.data();
        setup.envp = envp;
        pid_ = spawnAs(setup, argv[0]);
    } else {
        spawnAsUs(args, pointers, envp, options, in.read.get(), out.write.get(), err.write.get());
    }
    input_ = std::move(in.write);
    output_ = std::move(out.read);
    errors_ = std::move(err.read);
    if (options.discardOutput || (logged && options.outputToLog))
        output_.reset();
    if (logged)
        errors_.reset();
}

void Subprocess::spawnAsUs(const std::vector<std::string>& args, std::vector<char*>& pointers,
                           char* const* envp, const Options& options, int in, int out, int err) {
    FileActions actions;
    actions.dup2(in, 0);
    const bool logged = !options.logFile.empty();
    if (logged && options.outputToLog)
        actions.append(1, options.logFile);
    else
        actions.dup2(out, 1);
    if (logged)
        actions.append(2, options.logFile);
    else
        actions.dup2(err, 2);
    actions.closeTheRest();
    SpawnAttributes attributes(options.processGroup);
    const auto spawn = options.searchPath ? ::posix_spawnp : ::posix_spawn;
    const int rc =
        spawn(&pid_, args[0].c_str(), actions.get(), attributes.get(), pointers.data(), envp);
    if (rc != 0) {
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    }
}

Subprocess::~Subprocess() {
    if (isRunning())
        kill(SIGKILL);
    if (!reaped_)
        reap(true);
}

bool Subprocess::write(std::string_view bytes) {
    return writeAll(input_.get(), bytes) == 0;
}

bool Subprocess::reap(bool block) {
    if (reaped_)
        return true;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r != pid_)
        return false;
    reaped_ = true;
    if (WIFEXITED(status))
        status_ = WEXITSTATUS(status);
    return true;
}

std::optional<int> Subprocess::waitForExit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!reap(false)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status_;
}

bool Subprocess::isRunning() {
    return !reap(false);
}

void Subprocess::kill(int signal) {
    if (!reaped_)
        ::kill(pid_, signal);
}

}  // namespace ostrovane
