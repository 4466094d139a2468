#include "util/Subprocess.h"

#include <fcntl.h>
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
}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv, Options options) {
    if (argv.empty())
        throw std::invalid_argument("Subprocess needs a program");
    auto in = makePipe();
    auto out = makePipe();
    auto err = makePipe();

    FileActions actions;
    actions.dup2(in.read.get(), 0);
    const bool logged = !options.logFile.empty();
    if (logged && options.outputToLog)
        actions.append(1, options.logFile);
    else
        actions.dup2(out.write.get(), 1);
    if (logged)
        actions.append(2, options.logFile);
    else
        actions.dup2(err.write.get(), 2);
    SpawnAttributes attributes(options.processGroup);
    std::vector<std::string> args = argv;
    std::vector<char*> pointers = pointersTo(args);
    std::vector<char*> environment =
        options.environment.empty() ? std::vector<char*>{} : pointersTo(options.environment);
    char* const* envp = options.environment.empty() ? environ : environment.data();

    const auto spawn = options.searchPath ? ::posix_spawnp : ::posix_spawn;
    const int rc =
        spawn(&pid_, args[0].c_str(), actions.get(), attributes.get(), pointers.data(), envp);
    if (rc != 0) {
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    input_ = std::move(in.write);
    output_ = std::move(out.read);
    errors_ = std::move(err.read);
    if (options.discardOutput || (logged && options.outputToLog))
        output_.reset();
    if (logged)
        errors_.reset();
}

Subprocess::~Subprocess() {
    if (isRunning())
        kill(SIGKILL);
    if (!reaped_)
        reap(true);
}

bool Subprocess::write(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(input_.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
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
