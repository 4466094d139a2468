#include "support/PrivateXServer.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "support/WaitUntil.h"

namespace ostrovane::test {

namespace {

// Claims display `number` for this process, so that tests running in
// parallel never pick the same one. A claim whose process is gone is taken
// over.
bool claim(const std::string& path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const std::string pid = std::to_string(::getpid());
            const bool written = ::write(fd, pid.data(), pid.size()) == ssize_t(pid.size());
            ::close(fd);
            return written;
        }
        pid_t owner = 0;
        std::ifstream(path) >> owner;
        if (owner > 0 && (::kill(owner, 0) == 0 || errno != ESRCH))
            return false;
        ::unlink(path.c_str());
    }
    return false;
}

// A display is in use while its socket or lock exists, unless the lock names
// a process that is gone (an X server killed outright leaves both behind):
// those are removed and the display is free again.
bool displayInUse(const std::string& number) {
    const std::string lock = "/tmp/.X" + number + "-lock";
    const std::string socket = "/tmp/.X11-unix/X" + number;
    if (!std::filesystem::exists(lock))
        return std::filesystem::exists(socket);
    pid_t owner = 0;
    std::ifstream(lock) >> owner;
    if (owner <= 0 || ::kill(owner, 0) == 0 || errno != ESRCH)
        return true;
    ::unlink(lock.c_str());
    ::unlink(socket.c_str());
    return false;
}

}  // namespace

PrivateXServer::PrivateXServer(const std::vector<std::string>& extraArguments,
                               const std::string& screen) {
    for (int n = 87; n < 140 && !server_; ++n) {
        const std::string number = std::to_string(n);
        const std::string claimPath = "/tmp/.ostrovane-test-display-" + number;
        if (!claim(claimPath))
            continue;
        if (displayInUse(number)) {
            ::unlink(claimPath.c_str());
            continue;
        }
        claim_ = claimPath;
        name_ = ":" + number;
        socket_ = "/tmp/.X11-unix/X" + number;
        std::vector<std::string> argv{"/usr/bin/Xvfb", name_,       "-screen", "0",
                                      screen,          "-nolisten", "tcp"};
        argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
        server_ = std::make_unique<Subprocess>(argv);
    }
}

PrivateXServer::~PrivateXServer() {
    if (server_) {
        server_->kill(SIGTERM);
        server_->kill(SIGCONT);  // a paused server ends too
        server_->waitForExit(std::chrono::seconds(5));
    }
    if (!claim_.empty())
        ::unlink(claim_.c_str());
}

void PrivateXServer::pause() {
    if (server_)
        server_->kill(SIGSTOP);
}

void PrivateXServer::resume() {
    if (server_)
        server_->kill(SIGCONT);
}

void PrivateXServer::kill() {
    if (!server_)
        return;
    server_->kill(SIGKILL);
    server_->waitForExit(std::chrono::seconds(5));
    displayInUse(name_.substr(1));  // removes what the killed server left
}

bool PrivateXServer::ready() {
    const auto running = [&] { return server_ && server_->isRunning(); };
    waitUntil([&] { return !running() || std::filesystem::exists(socket_); },
              std::chrono::seconds(10));
    return running() && std::filesystem::exists(socket_);
}

}  // namespace ostrovane::test
