#include "support/PrivateXServer.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

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

}  // namespace

PrivateXServer::PrivateXServer(const std::vector<std::string>& extraArguments) {
    for (int n = 87; n < 140 && !server_; ++n) {
        const std::string number = std::to_string(n);
        if (std::filesystem::exists("/tmp/.X11-unix/X" + number) ||
            std::filesystem::exists("/tmp/.X" + number + "-lock")) {
            continue;
        }
        const std::string claimPath = "/tmp/.ostrovane-test-display-" + number;
        if (!claim(claimPath))
            continue;
        claim_ = claimPath;
        name_ = ":" + number;
        socket_ = "/tmp/.X11-unix/X" + number;
        std::vector<std::string> argv{"/usr/bin/Xvfb", name_,       "-screen", "0",
                                      "1920x1080x24",  "-nolisten", "tcp"};
        argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
        server_ = std::make_unique<Subprocess>(argv);
    }
}

PrivateXServer::~PrivateXServer() {
    if (server_) {
        server_->kill(SIGTERM);
        server_->waitForExit(std::chrono::seconds(5));
    }
    if (!claim_.empty())
        ::unlink(claim_.c_str());
}

void PrivateXServer::kill() {
    if (!server_)
        return;
    server_->kill(SIGKILL);
    server_->waitForExit(std::chrono::seconds(5));
}

bool PrivateXServer::ready() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!server_ || !server_->isRunning())
            return false;
        if (std::filesystem::exists(socket_))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace ostrovane::test
