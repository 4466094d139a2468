#include "support/PrivateXServer.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
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
    // What the killed server leaves behind (the next one would take it over).
    std::filesystem::remove("/tmp/.X" + name_.substr(1) + "-lock");
    std::filesystem::remove("/tmp/.X11-unix/X" + name_.substr(1));
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
