#include "servers/SessionProcesses.h"

#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/ProcessTable.h"
#include "support/WaitUntil.h"
#include "util/Subprocess.h"

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

// Parallel runs may create the user at once.
bool sessionUser(uid_t& uid, gid_t& gid, std::string& failure) {
    if (!::getpwnam(kSessionUser))
        runCommand({"/usr/sbin/useradd", "--system", "--user-group", "--no-create-home",
                    "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin", kSessionUser},
                   {}, "/dev/null", nullptr);
    const passwd* user = nullptr;
    if (!waitUntil([&] { return (user = ::getpwnam(kSessionUser)) != nullptr; },
                   std::chrono::seconds(2))) {
        failure = std::string("the sessions run as user ") + kSessionUser +
                  ", which is missing and cannot be created (run the tests as root)";
        return false;
    }
    uid = user->pw_uid;
    gid = user->pw_gid;
    return true;
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

SessionBase::SessionBase(const std::string& prefix) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string pattern = "/tmp/" + prefix + ".XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        failure_ = "cannot make a directory " + pattern;
        return;
    }
    directory_ = pattern;
    runtime_ = directory_ + "/run";
    sessionUser(uid_, gid_, failure_);
}

SessionBase::~SessionBase() {
    std::error_code ignored;
    if (!directory_.empty())
        fs::remove_all(directory_, ignored);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

pid_t SessionBase::busOwner(const std::string& name) const {
    std::vector<std::string> env;
    handDown(env);
    std::string reply;  // "u 1234"
    if (!runCommand({"busctl", "--address=unix:path=" + runtime_ + "/bus", "call",
                     "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                     "GetConnectionUnixProcessID", "s", name},
                    env, directory_ + "/command.out", &reply, uid_, gid_) ||
        reply.rfind("u ", 0) != 0)
        return 0;
    return static_cast<pid_t>(std::atol(reply.c_str() + 2));
}

void unmountBelow(const std::string& directory) {
    std::istringstream mounts(readProcessFile("/proc/self/mounts"));
    for (std::string device, point, rest;
         mounts >> device >> point && std::getline(mounts, rest);) {
        if (point.rfind(directory + "/", 0) == 0)
            ::umount2(point.c_str(), MNT_DETACH);
    }
}

std::string logTail(const std::string& path) {
    const std::string text = readProcessFile(path);
    return text.size() > 1500 ? "..." + text.substr(text.size() - 1500) : text;
}

bool runCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                const std::string& log, std::string* output, std::optional<uid_t> user,
                std::optional<gid_t> group) {
    std::error_code ignored;
    if (log != "/dev/null")
        fs::remove(log, ignored);
    try {
        Subprocess command(argv, {.environment = environment,
                                  .searchPath = true,
                                  .logFile = log,
                                  .outputToLog = true,
                                  .user = user,
                                  .group = group});
        command.closeInput();
        const bool succeeded = command.waitForExit(std::chrono::seconds(5)) == 0;
        if (output)
            *output = readProcessFile(log);
        return succeeded;  // the destructor kills a command that overran
    } catch (const std::exception& error) {
        if (output)
            *output = error.what();
        return false;
    }
}

void handDown(std::vector<std::string>& env, std::initializer_list<const char*> names) {
    std::vector<const char*> all = {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                                    "TSAN_OPTIONS"};
    all.insert(all.end(), names);
    for (const char* name : all) {
        if (const char* value = std::getenv(name))
            env.push_back(std::string(name) + "=" + value);
    }
}

}  // namespace ostrovane::test
