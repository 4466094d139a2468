#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/Subprocess.h"

namespace ostrovane::test {

// Starts `argv` (found on PATH) with `options`, its output to the log; a
// test process that dies without its destructors takes the process along
// instead of leaving it behind. Nothing when it cannot be started.
inline std::unique_ptr<Subprocess> startTied(const std::vector<std::string>& argv,
                                             Subprocess::Options options) {
    std::vector<std::string> command = {"setpriv", "--pdeathsig", "KILL", "--"};
    command.insert(command.end(), argv.begin(), argv.end());
    options.searchPath = true;
    try {
        return std::make_unique<Subprocess>(command, std::move(options));
    } catch (const std::runtime_error&) {
        return nullptr;
    }
}

// A connected descriptor to the unix socket at `path`; -1 when nothing answers.
inline int connectSocket(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const bool connected =
        fd.get() >= 0 &&
        ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    return connected ? fd.release() : -1;
}

// Whether something accepts connections on the unix socket at `path`.
inline bool socketAnswers(const std::string& path) {
    const int fd = connectSocket(path);
    return fd >= 0 && ::close(fd) == 0;
}

}  // namespace ostrovane::test
