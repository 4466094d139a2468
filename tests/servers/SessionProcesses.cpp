#include "servers/SessionProcesses.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/ProcessTable.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {

namespace {

namespace fs = std::filesystem;

struct Stat {
    char state = 0;
    pid_t parent = 0, group = 0;
    unsigned long long started = 0;
};

// The command name in parentheses may hold anything; the fields after it do not.
bool readStat(pid_t pid, Stat& out) {
    const std::string text = readProcessFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(text.substr(close + 1));
    std::string skip;
    fields >> out.state >> out.parent >> out.group;
    for (int field = 6; field < 22 && fields >> skip;)
        ++field;
    return static_cast<bool>(fields >> out.started);
}

}  // namespace

std::optional<ProcessIdentity> identityOf(pid_t pid) {
    Stat stat;
    if (!readStat(pid, stat))
        return std::nullopt;
    return ProcessIdentity{pid, stat.started};
}

bool ProcessIdentity::running() const {
    Stat stat;
    return readStat(pid, stat) && stat.started == started && stat.state != 'Z';
}

SessionProcesses::SessionProcesses(const std::string& runtime, pid_t group)
    : marker_("XDG_RUNTIME_DIR=" + runtime + '\0'), group_(group) {}

std::vector<ProcessIdentity> SessionProcesses::list() const {
    const pid_t self = ::getpid();
    std::vector<ProcessIdentity> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const pid_t pid = std::atoi(entry.path().filename().c_str());
        Stat stat;
        if (pid <= 0 || pid == self || !readStat(pid, stat))
            continue;
        const bool member = group_ > 0 && stat.group == group_;
        if (!member &&
            (stat.parent == self ||
             readProcessFile(entry.path() / "environ").find(marker_) == std::string::npos))
            continue;
        found.push_back({pid, stat.started});
    }
    return found;
}

int SessionProcesses::sweep(int signal, bool reap) {
    // Those seen once stay counted: a setuid process's environment may become
    // unreadable to us once it has been handed to us.
    for (const ProcessIdentity& process : list())
        if (std::find(seen_.begin(), seen_.end(), process) == seen_.end())
            seen_.push_back(process);
    int left = 0;
    std::erase_if(seen_, [&](const ProcessIdentity& process) {
        Stat stat;
        if (!readStat(process.pid, stat) || stat.started != process.started)
            return true;
        if (stat.state == 'Z') {
            // The group's leader is a Subprocess of the fixture, which reaps it.
            if (process.pid == group_ || (reap && stat.parent == ::getpid() &&
                                          ::waitpid(process.pid, nullptr, WNOHANG) == process.pid))
                return true;
            left += reap;
            return false;
        }
        if (signal != 0)
            ::kill(process.pid, signal);
        ++left;
        return false;
    });
    return left;
}

void SessionProcesses::end(const std::string& directory) {
    using std::chrono::seconds;
    sweep(SIGTERM, true);
    if (!waitUntil([this] { return sweep(0, true) == 0; }, seconds(3)))
        waitUntil([this] { return sweep(SIGKILL, true) == 0; }, seconds(3));
    unmountBelow(directory);
}

void unmountBelow(const std::string& directory) {
    std::istringstream mounts(readProcessFile("/proc/self/mounts"));
    for (std::string device, point, rest;
         mounts >> device >> point && std::getline(mounts, rest);) {
        if (point.rfind(directory + "/", 0) == 0)
            ::umount2(point.c_str(), MNT_DETACH);
    }
}

}  // namespace ostrovane::test
