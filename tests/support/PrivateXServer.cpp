#include "support/PrivateXServer.h"

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace ostrovane::test {

PrivateXServer::PrivateXServer() {
    for (int n = 87; n < 140 && !server_; ++n) {
        const std::string number = std::to_string(n);
        if (std::filesystem::exists("/tmp/.X11-unix/X" + number) ||
            std::filesystem::exists("/tmp/.X" + number + "-lock")) {
            continue;
        }
        name_ = ":" + number;
        socket_ = "/tmp/.X11-unix/X" + number;
        server_ = std::make_unique<Subprocess>(std::vector<std::string>{
            "/usr/bin/Xvfb", name_, "-screen", "0", "1920x1080x24", "-nolisten", "tcp"});
    }
}

PrivateXServer::~PrivateXServer() {
    if (server_) {
        server_->kill(SIGTERM);
        server_->waitForExit(std::chrono::seconds(5));
    }
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
