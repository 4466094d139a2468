#include "support/HelperProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace ostrovane::test {

namespace {
std::array<int, 2> makePipe() {
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    return fds;
}
}  // namespace

HelperProcess::HelperProcess(const std::string& binary, Output output) {
    ::signal(SIGPIPE, SIG_IGN);
    auto in = makePipe();
    auto out = makePipe();
    auto err = makePipe();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::string program = binary;
    std::array<char*, 2> argv{program.data(), nullptr};
    const int rc = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        throw std::runtime_error("cannot start " + binary);
    }
    input_ = in[1];
    errors_ = std::make_unique<LineCollector>(err[0]);
    if (output == Output::collect) {
        outputThread_ = std::thread([this, fd = out[0]] { collectOutput(fd); });
    } else {
        ::close(out[0]);
    }
}

HelperProcess::~HelperProcess() {
    if (isRunning())
        ::kill(pid_, SIGKILL);
    waitForExit(std::chrono::seconds(10));
    closeInput();
    errors_.reset();
    if (outputThread_.joinable())
        outputThread_.join();
}

bool HelperProcess::write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void HelperProcess::closeInput() {
    if (input_ >= 0)
        ::close(input_);
    input_ = -1;
}

void HelperProcess::collectOutput(int fd) {
    std::array<std::uint8_t, 65536> buffer;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard lock(mutex_);
        _output.insert(_output.end(), buffer.begin(), buffer.begin() + n);
    }
    ::close(fd);
}

std::vector<std::uint8_t> HelperProcess::outputBytes() const {
    std::lock_guard lock(mutex_);
    return _output;
}

bool HelperProcess::reap(int options) {
    if (reaped_)
        return true;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, options);
    } while (r < 0 && errno == EINTR);
    if (r != pid_)
        return false;
    reaped_ = true;
    if (WIFEXITED(status))
        status_ = WEXITSTATUS(status);
    return true;
}

std::optional<int> HelperProcess::waitForExit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!reap(WNOHANG)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status_;
}

bool HelperProcess::isRunning() {
    return !reap(WNOHANG);
}

}  // namespace ostrovane::test
