#include "support/PrivateXServer.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>

namespace ostrovane::test {

// Xvfb picks a display number nobody uses (its lock files settle races with
// servers started in parallel, and take over those a killed server left) and
// writes it on its standard output once it accepts connections.
PrivateXServer::PrivateXServer(const std::vector<std::string>& extraArguments,
                               const std::string& screen) {
    std::vector<std::string> argv{"/usr/bin/Xvfb", "-displayfd", "1",  "-screen", "0",
                                  screen,          "-nolisten",  "tcp"};
    argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
    server_ = std::make_unique<Subprocess>(argv);
    output_ = server_->takeOutput();
}

PrivateXServer::~PrivateXServer() {
    server_->kill(SIGTERM);
    server_->kill(SIGCONT);  // a paused server ends too
    server_->waitForExit(std::chrono::seconds(5));
}

void PrivateXServer::kill() {
    server_->kill(SIGKILL);
    server_->waitForExit(std::chrono::seconds(5));
    if (name_.empty())
        return;
    // The killed server's socket file goes; its number stays taken while this
    // fixture lives, or a server started in parallel would answer in its
    // place: servers pick a free number by binding its abstract socket, which
    // this process now holds (bound, not listening: clients are refused).
    const std::string socket = "/tmp/.X11-unix/X" + name_.substr(1);
    std::filesystem::remove(socket);
    held_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    socket.copy(address.sun_path + 1, socket.size());
    ::bind(held_.get(), reinterpret_cast<sockaddr*>(&address),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + socket.size()));
}

bool PrivateXServer::ready() {
    std::string number;
    for (char c = 0; name_.empty() && c != '\n';) {
        pollfd wait{output_.get(), POLLIN, 0};
        if (::poll(&wait, 1, 10'000) <= 0 || ::read(output_.get(), &c, 1) != 1)
            return false;
        if (c == '\n')
            name_ = ":" + number;
        number += c;
    }
    return server_->isRunning();
}

}  // namespace ostrovane::test
