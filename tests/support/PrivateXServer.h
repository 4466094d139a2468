#pragma once

#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "util/Subprocess.h"

namespace ostrovane::test {

// A private X server for a test: Xvfb on a display number nobody uses,
// stopped when the object goes away.
class PrivateXServer {
  public:
    PrivateXServer() : PrivateXServer(std::vector<std::string>{}) {}
    // `extraArguments` go to Xvfb, for example {"-extension", "Composite"};
    // `screen` is its one screen's width x height x depth.
    explicit PrivateXServer(const std::vector<std::string>& extraArguments,
                            const std::string& screen = "1920x1080x24");
    ~PrivateXServer();

    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    // Waits (bounded) until the server accepts connections.
    bool ready();
    // Kills the server at once, as a crash would; waits until it is gone.
    void kill();
    // Stops and resumes the server (SIGSTOP, SIGCONT), as a debugger or a
    // suspended machine would.
    void pause() { server_->kill(SIGSTOP); }
    void resume() { server_->kill(SIGCONT); }
    // The display name, for example ":87", once ready.
    const std::string& name() const { return name_; }

  private:
    std::string name_;
    std::unique_ptr<Subprocess> server_;
    UniqueFd output_;
    UniqueFd held_;  // a killed server's abstract socket
};

}  // namespace ostrovane::test
