#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "servers/PrivatePulseServer.h"
#include "util/Subprocess.h"

namespace ostrovane::test {

// Reads `fd` until it ends, `done` holds for what was read, or `limit` has
// passed; what was read.
std::string readFor(int fd, std::chrono::milliseconds limit,
                    const std::function<bool(const std::string&)>& done = {});

// The processes behind a private sound server: PulseAudio alone, or PipeWire
// with its session manager and its pulse server next to a session bus of
// their own. The server's processes share one process group, so that
// stopping or killing it leaves none behind; the bus outlives kill(), as a
// desktop's does when its sound server crashes.
class ServerDaemons {
  public:
    ServerDaemons(ServerKind kind, std::string directory);
    ~ServerDaemons();

    ServerDaemons(const ServerDaemons&) = delete;
    ServerDaemons& operator=(const ServerDaemons&) = delete;

    // Where the server's pulse socket opens.
    std::string socket() const;
    // The session bus the server's processes share (PipeWire only).
    std::string busAddress() const { return "unix:path=" + directory_ + "/bus"; }

    // Starts the server's processes with `environment`. PulseAudio loads
    // `modules` before its socket opens; PipeWire takes none here. Whether
    // everything could be started; why not in `failure`.
    bool launch(const std::vector<std::string>& environment,
                const std::vector<std::string>& modules, std::string& failure);
    // Whether one of the server's processes has ended.
    bool anyExited();
    // Kills every process of the server at once and reaps them.
    void kill();

  private:
    bool launchPipeWire(const std::vector<std::string>& environment, std::string& failure);
    // Starts one of the server's processes into `group` (0: a new one) and keeps it.
    bool add(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             pid_t group, std::string& failure);
    std::unique_ptr<Subprocess> start(const std::vector<std::string>& argv,
                                      const std::vector<std::string>& environment,
                                      const std::string& log, pid_t group) const;
    void signalGroup(int signal);

    ServerKind kind_;
    std::string directory_;
    std::unique_ptr<Subprocess> bus_;
    // The group leader first.
    std::vector<std::unique_ptr<Subprocess>> processes_;
};

}  // namespace ostrovane::test
