#include "servers/PrivateWaylandSession.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "support/WaitUntil.h"

namespace ostrovane::test {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kBackendName = "org.freedesktop.impl.portal.desktop.wlr";
constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kMovingContentTitle = "ostrovane-moving-content";
constexpr seconds kStartLimit(10);
constexpr seconds kStopLimit(3);
constexpr seconds kCommandLimit(5);

bool socketAnswers(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Outcome {
    int status = -1;  // -1: did not start, did not end in time, or died
    std::string output;
};

// Runs `argv` to its end (at most `limit`) and collects both its output
// streams.
Outcome runToEnd(const std::vector<std::string>& argv, const Subprocess::Options& options,
                 milliseconds limit) {
    Outcome outcome;
    std::unique_ptr<Subprocess> process;
    try {
        process = std::make_unique<Subprocess>(argv, options);
    } catch (const std::exception& error) {
        outcome.output = error.what();
        return outcome;
    }
    process->closeInput();
    const UniqueFd out = process->takeOutput();
    const UniqueFd err = process->takeErrors();
    const auto deadline = Clock::now() + limit;
    std::array<pollfd, 2> streams{{{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}}};
    for (int open = 2; open > 0;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        const int ready = ::poll(streams.data(), streams.size(), static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        for (auto& stream : streams) {
            if (stream.fd < 0 || stream.revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(stream.fd, buffer, sizeof buffer);
            if (n > 0) {
                outcome.output.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                stream.fd = -1;
                --open;
            }
        }
    }
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    outcome.status = process->waitForExit(std::max(left, milliseconds(0))).value_or(-1);
    return outcome;  // the destructor kills a command that overran
}

// What /proc tells about a process.
struct ProcessInfo {
    pid_t pid = -1;
    pid_t parent = -1;
    pid_t group = -1;
    pid_t session = -1;
    uid_t uid = 0;
    bool zombie = false;
};

std::optional<ProcessInfo> processInfo(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    struct stat status {};
    if (::stat(base.c_str(), &status) != 0)
        return std::nullopt;
    const std::string stat = readFile(base + "/stat");
    // The command name in parentheses may hold anything; the fields after it do not.
    const auto close = stat.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    char state = '?';
    ProcessInfo info;
    if (!(fields >> state >> info.parent >> info.group >> info.session))
        return std::nullopt;
    info.pid = pid;
    info.uid = status.st_uid;
    info.zombie = state == 'Z' || state == 'X';
    return info;
}

std::vector<ProcessInfo> processesOf(uid_t uid) {
    std::vector<ProcessInfo> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit))
            continue;
        const auto info = processInfo(static_cast<pid_t>(std::stol(name)));
        if (info && info->uid == uid)
            found.push_back(*info);
    }
    return found;
}

bool environmentHolds(pid_t pid, const std::string& entry) {
    const std::string environment = readFile("/proc/" + std::to_string(pid) + "/environ");
    std::istringstream in(environment);
    for (std::string item; std::getline(in, item, '\0');)
        if (item == entry)
            return true;
    return false;
}

// The test process becomes a child subreaper while any session lives: sway
// double-forks what it starts (its background drawer, `exec` commands), and
// the bus's services outlive a killed bus; they would otherwise end up as
// orphans with no one to reap them.
std::mutex subreaperMutex;
int sessionsAlive = 0;

void holdSubreaper() {
    std::lock_guard lock(subreaperMutex);
    if (sessionsAlive++ == 0)
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

void releaseSubreaper() {
    std::lock_guard lock(subreaperMutex);
    if (--sessionsAlive == 0)
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

bool makeDirectory(const std::string& path, mode_t mode, uid_t uid, gid_t gid) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return !error && ::chmod(path.c_str(), mode) == 0 && ::chown(path.c_str(), uid, gid) == 0;
}

bool writeFile(const std::string& path, const std::string& text, uid_t uid, gid_t gid) {
    {
        std::ofstream out(path);
        out << text;
        if (!out.flush())
            return false;
    }
    return ::chown(path.c_str(), uid, gid) == 0;
}

// The session bus: the desktop's own configuration, and the test process
// (root) may connect too.
constexpr const char* kBusConfiguration =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <include>/usr/share/dbus-1/session.conf</include>
  <policy context="default">
    <allow user="root"/>
  </policy>
</busconfig>
)";

// The same bus on a desktop without the portal: nothing is started on
// demand, so that asking for the portal finds no one, as where it is not
// installed.
constexpr const char* kBusConfigurationWithoutServices =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <!-- replaced by the address given on the command line -->
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="root"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

}  // namespace

struct PrivateWaylandSession::Daemon {
    std::string name;
    std::unique_ptr<Subprocess> process;
};

PrivateWaylandSession::PrivateWaylandSession(Options options) : options_(options) {
    holdSubreaper();
    started_ = start(failure_);
}

PrivateWaylandSession::~PrivateWaylandSession() {
    stop();
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    releaseSubreaper();
}

bool PrivateWaylandSession::ready(std::string& failure) {
    if (!started_) {
        failure = failure_;
        return false;
    }
    for (auto& daemon : daemons_) {
        if (!daemon->process->isRunning()) {
            failure = daemon->name + " has exited; its log ends with:\n" + logTail(daemon->name);
            return false;
        }
    }
    return true;
}

bool PrivateWaylandSession::createUser(std::string& failure) {
    const auto lookUp = [this] {
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwnam_r(kUser, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
            return false;
        uid_ = found->pw_uid;
        gid_ = found->pw_gid;
        return true;
    };
    if (lookUp())
        return true;
    if (::geteuid() != 0) {
        failure = std::string("the Wayland session runs as user ") + kUser +
                  ", which is missing; only root can create it (run the tests as root)";
        return false;
    }
    // Test processes running in parallel create the user once.
    const UniqueFd lock(
        ::open("/tmp/.ostrovane-wayland-user.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock.valid() ||
        !waitUntil([&] { return ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0; }, kStartLimit)) {
        failure = "cannot lock /tmp/.ostrovane-wayland-user.lock to create the session user";
        return false;
    }
    if (lookUp())
        return true;
    const Outcome added =
        runToEnd({"useradd", "--system", "--user-group", "--no-create-home", "--home-dir",
                  "/nonexistent", "--shell", "/usr/sbin/nologin", kUser},
                 Subprocess::Options{.searchPath = true}, kCommandLimit);
    if (!lookUp()) {
        failure = std::string("cannot create the session user ") + kUser + ": " + added.output;
        return false;
    }
    return true;
}

bool PrivateWaylandSession::prepareDirectory(std::string& failure) {
    char pattern[] = "/tmp/ostrovane-wayland.XXXXXX";
    if (!::mkdtemp(pattern)) {
        failure = "cannot create a temporary directory";
        return false;
    }
    directory_ = pattern;
    runtime_ = directory_ + "/run";
    home_ = directory_ + "/home";
    config_ = directory_ + "/config";
    const std::string services = home_ + "/.local/share/dbus-1/services";
    const bool made =
        makeDirectory(directory_, 0755, uid_, gid_) && makeDirectory(runtime_, 0700, uid_, gid_) &&
        makeDirectory(home_, 0700, uid_, gid_) &&
        makeDirectory(home_ + "/.local", 0700, uid_, gid_) &&
        makeDirectory(home_ + "/.local/state", 0700, uid_, gid_) &&
        makeDirectory(home_ + "/.local/share", 0700, uid_, gid_) &&
        makeDirectory(home_ + "/.local/share/dbus-1", 0700, uid_, gid_) &&
        makeDirectory(services, 0700, uid_, gid_) && makeDirectory(config_, 0700, uid_, gid_) &&
        makeDirectory(config_ + "/sway", 0700, uid_, gid_) &&
        makeDirectory(config_ + "/xdg-desktop-portal-wlr", 0700, uid_, gid_);
    const std::string size = std::to_string(options_.width) + "x" + std::to_string(options_.height);
    // Xwayland stays off: it would claim an X display number shared with
    // the X tests. The moving content floats in the top left corner and
    // leaves the rest of the output to its background.
    const std::string sway =
        std::string("xwayland disable\ndefault_border none\noutput ") + kOutput + " resolution " +
        size + " position 0 0 bg #336699 solid_color\nfor_window [title=\"^" + kMovingContentTitle +
        "$\"] floating enable, resize set 320 120, move absolute position 0 0\n";
    // The user's pick in the portal's dialog, scripted: the output named by
    // pickOutput(), else the first one. No dialog is shown.
    const std::string chooser = directory_ + "/choose-output";
    const std::string choice = "#!/bin/sh\ncat >/dev/null\nif [ -s '" + pickFile() +
                               "' ]; then cat '" + pickFile() + "'; else echo " + kOutput +
                               "; fi\n";
    const std::string backend =
        "[screencast]\nmax_fps=30\nchooser_type=dmenu\nchooser_cmd=" + chooser + "\n";
    // The bus starts the backend again after a crash, as a desktop's bus
    // does: ours, not the packaged one, which fails every cast here.
    const std::string service = std::string("[D-BUS Service]\nName=") + kBackendName +
                                "\nExec=/usr/bin/env XDPW_PERSIST_MODE=permanent " +
                                kPortalBackend + " -l DEBUG\n";
    const bool written =
        made &&
        writeFile(directory_ + "/bus.conf",
                  options_.portal ? kBusConfiguration : kBusConfigurationWithoutServices, uid_,
                  gid_) &&
        writeFile(config_ + "/sway/config", sway, uid_, gid_) &&
        writeFile(chooser, choice, uid_, gid_) && ::chmod(chooser.c_str(), 0755) == 0 &&
        writeFile(config_ + "/xdg-desktop-portal-wlr/config", backend, uid_, gid_) &&
        writeFile(services + "/" + kBackendName + ".service", service, uid_, gid_);
    if (!written)
        failure = "cannot prepare the session's directory " + directory_;
    return written;
}

std::vector<std::string> PrivateWaylandSession::environment() const {
    std::vector<std::string> env = {
        "XDG_RUNTIME_DIR=" + runtime_,
        "DBUS_SESSION_BUS_ADDRESS=" + busAddress(),
        "PIPEWIRE_RUNTIME_DIR=" + runtime_,
        "XDG_SESSION_TYPE=wayland",
        "XDG_CURRENT_DESKTOP=sway",
        "SWAYSOCK=" + runtime_ + "/sway.sock",
        "HOME=" + home_,
        "XDG_STATE_HOME=" + home_ + "/.local/state",
    };
    if (!display_.empty())
        env.push_back("WAYLAND_DISPLAY=" + display_);
    if (options_.pulse)
        env.push_back("PULSE_SERVER=unix:" + runtime_ + "/pulse/native");
    const char* path = std::getenv("PATH");
    env.push_back(std::string("PATH=") + (path ? path : "/usr/local/bin:/usr/bin:/bin"));
    // A sanitized helper keeps the test run's sanitizer settings.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            env.push_back(std::string(name) + "=" + value);
    return env;
}

std::vector<std::string> PrivateWaylandSession::daemonEnvironment() const {
    std::vector<std::string> env = environment();
    env.push_back("XDG_CONFIG_HOME=" + config_);
    env.push_back("XDG_DATA_HOME=" + home_ + "/.local/share");
    env.push_back("LANG=C.UTF-8");
    return env;
}

std::string PrivateWaylandSession::waylandSocketPath() const {
    return display_.empty() ? std::string() : runtime_ + "/" + display_;
}

std::string PrivateWaylandSession::logTail(const std::string& log) const {
    const std::string text = readFile(directory_ + "/" + log + ".log");
    constexpr std::size_t kTail = 1500;
    return text.size() > kTail ? "..." + text.substr(text.size() - kTail) : text;
}

PrivateWaylandSession::Daemon* PrivateWaylandSession::launch(
    const std::string& name, const std::vector<std::string>& argv,
    const std::vector<std::string>& extraEnvironment, std::string& failure) {
    Subprocess::Options options;
    options.environment = daemonEnvironment();
    options.environment.insert(options.environment.end(), extraEnvironment.begin(),
                               extraEnvironment.end());
    options.searchPath = true;
    options.logFile = directory_ + "/" + name + ".log";
    options.outputToLog = true;
    options.processGroup = group_ < 0 ? 0 : group_;
    options.user = uid_;
    options.group = gid_;
    // A test process that dies without its destructors takes the session
    // along instead of leaving it behind.
    std::vector<std::string> command = {"setpriv", "--pdeathsig", "KILL", "--"};
    command.insert(command.end(), argv.begin(), argv.end());
    try {
        auto daemon = std::make_unique<Daemon>(Daemon{name, nullptr});
        daemon->process = std::make_unique<Subprocess>(command, options);
        if (group_ < 0)
            group_ = daemon->process->pid();
        daemons_.push_back(std::move(daemon));
        return daemons_.back().get();
    } catch (const std::exception& error) {
        failure = error.what();
        return nullptr;
    }
}

bool PrivateWaylandSession::waitFor(Daemon& daemon, const std::string& what,
                                    const std::function<bool()>& done, std::string& failure) {
    bool exited = false;
    const bool held = waitUntil(
        [&] {
            exited = !daemon.process->isRunning();
            return exited || done();
        },
        kStartLimit);
    if (held && !exited)
        return true;
    failure = daemon.name + (exited ? " exited at start" : " did not " + what + " within 10 s") +
              "; its log ends with:\n" + logTail(daemon.name);
    return false;
}

bool PrivateWaylandSession::start(std::string& failure) {
    if (options_.portal && ::access(kPortalBackend, X_OK) != 0) {
        failure = std::string("the test portal backend ") + kPortalBackend +
                  " is missing; build it with scripts/build-test-portal.sh (as root)";
        return false;
    }
    if (!createUser(failure) || !prepareDirectory(failure))
        return false;

    Daemon* bus = launch("bus",
                         {"dbus-daemon", "--config-file=" + directory_ + "/bus.conf", "--nofork",
                          "--nopidfile", "--address=" + busAddress()},
                         {}, failure);
    if (!bus || !waitFor(
                    *bus, "answer as root",
                    [&] { return busNameOwner("org.freedesktop.DBus").has_value(); }, failure))
        return false;

    Daemon* pipewire = launch("pipewire", {"pipewire"}, {}, failure);
    if (!pipewire || !waitFor(
                         *pipewire, "open its socket",
                         [&] { return socketAnswers(runtime_ + "/pipewire-0"); }, failure)) {
        return false;
    }
    // Links a cast's stream to its consumer; waited for last, while the rest starts.
    Daemon* manager = launch("wireplumber", {"wireplumber"}, {}, failure);
    if (!manager)
        return false;
    if (options_.pulse) {
        Daemon* pulse = launch("pipewire-pulse", {"pipewire-pulse"}, {}, failure);
        if (!pulse || !waitFor(
                          *pulse, "open its socket",
                          [&] { return socketAnswers(runtime_ + "/pulse/native"); }, failure)) {
            return false;
        }
    }

    Daemon* compositor = launch(
        "sway", {"sway", "-c", config_ + "/sway/config"},
        {"WLR_BACKENDS=headless", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1"}, failure);
    // sway names its own socket: the first free wayland-N.
    const std::regex socketName("wayland-[0-9]+");
    const auto findDisplay = [&] {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(runtime_, error)) {
            const std::string name = entry.path().filename().string();
            if (std::regex_match(name, socketName) && socketAnswers(entry.path().string())) {
                display_ = name;
                return true;
            }
        }
        return false;
    };
    std::string outputs;
    if (!compositor || !waitFor(
                           *compositor, "open its sockets and its output",
                           [&] {
                               return findDisplay() && sway({"-t", "get_outputs"}, &outputs) &&
                                      outputs.find(kOutput) != std::string::npos;
                           },
                           failure)) {
        return false;
    }
    // Services the bus starts from now on find the compositor.
    Subprocess::Options asUser{
        .environment = daemonEnvironment(), .searchPath = true, .user = uid_, .group = gid_};
    const Outcome updated =
        runToEnd({"dbus-update-activation-environment", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP",
                  "XDG_SESSION_TYPE", "SWAYSOCK", "XDG_CONFIG_HOME", "PIPEWIRE_RUNTIME_DIR"},
                 asUser, kCommandLimit);
    if (updated.status != 0) {
        failure = "dbus-update-activation-environment failed: " + updated.output;
        return false;
    }

    if (options_.portal) {
        Daemon* backend = launch("portal-backend", {kPortalBackend, "-l", "DEBUG"},
                                 {"XDPW_PERSIST_MODE=permanent"}, failure);
        if (!backend || !waitFor(
                            *backend, "take its bus name",
                            [&] { return busNameOwner(kBackendName).has_value(); }, failure)) {
            return false;
        }
        Daemon* portal = launch("portal", {"/usr/libexec/xdg-desktop-portal", "-v"}, {}, failure);
        if (!portal || !waitFor(
                           *portal, "take its bus name",
                           [&] { return busNameOwner(kPortalName).has_value(); }, failure)) {
            return false;
        }
    }
    return waitFor(
        *manager, "register with PipeWire", [&] { return managerReady(); }, failure);
}

bool PrivateWaylandSession::managerReady() {
    // The session manager publishes the "default" metadata once it runs.
    const Outcome found = runToEnd(
        {"pw-metadata", "-n", "default"},
        Subprocess::Options{.environment = environment(), .searchPath = true}, kCommandLimit);
    return found.status == 0 && found.output.find("Found \"default\"") != std::string::npos;
}

std::optional<pid_t> PrivateWaylandSession::busNameOwner(const std::string& name) const {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0)
        return std::nullopt;
    std::optional<pid_t> owner;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::uint32_t pid = 0;
    if (sd_bus_set_address(bus, busAddress().c_str()) >= 0 && sd_bus_set_bus_client(bus, 1) >= 0 &&
        sd_bus_set_method_call_timeout(bus, 2'000'000) >= 0 && sd_bus_start(bus) >= 0 &&
        sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "GetConnectionUnixProcessID", &error, &reply,
                           "s", name.c_str()) >= 0 &&
        sd_bus_message_read(reply, "u", &pid) >= 0) {
        owner = static_cast<pid_t>(pid);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return owner;
}

bool PrivateWaylandSession::sway(const std::vector<std::string>& args, std::string* output) {
    std::vector<std::string> argv = {"swaymsg", "-s", runtime_ + "/sway.sock"};
    argv.insert(argv.end(), args.begin(), args.end());
    const Outcome outcome = runToEnd(
        argv, Subprocess::Options{.environment = environment(), .searchPath = true}, kCommandLimit);
    if (output)
        *output = outcome.output;
    return outcome.status == 0;
}

std::string PrivateWaylandSession::pickFile() const {
    return directory_ + "/picked-output";
}

bool PrivateWaylandSession::pickOutput(const std::string& name) {
    return writeFile(pickFile(), name + "\n", uid_, gid_);
}

bool PrivateWaylandSession::startMovingContent() {
    Subprocess::Options options;
    options.environment = daemonEnvironment();
    options.searchPath = true;
    options.logFile = directory_ + "/clients.log";
    options.outputToLog = true;
    options.processGroup = group_;
    options.user = uid_;
    options.group = gid_;
    try {
        clients_.push_back(std::make_unique<Subprocess>(
            std::vector<std::string>{"setpriv", "--pdeathsig", "KILL", "--", "foot",
                                     std::string("--title=") + kMovingContentTitle, "sh", "-c",
                                     "while :; do date +%T.%N; sleep 0.02; done"},
            options));
    } catch (const std::exception&) {
        return false;
    }
    // Frames keep coming once the window is on the output.
    std::string tree;
    return waitUntil(
        [&] {
            return sway({"-t", "get_tree"}, &tree) &&
                   tree.find(kMovingContentTitle) != std::string::npos;
        },
        kStartLimit, milliseconds(50));
}

void PrivateWaylandSession::killBusName(const std::string& name, const std::string& daemonName) {
    if (const auto owner = busNameOwner(name))
        ::kill(*owner, SIGKILL);
    for (auto& daemon : daemons_) {
        if (daemon->name == daemonName) {
            daemon->process->kill(SIGKILL);
            daemon->process->waitForExit(kStopLimit);
        }
    }
    waitUntil([&] { return !busNameOwner(name).has_value(); }, kStopLimit);
}

void PrivateWaylandSession::killPortalBackend() {
    killBusName(kBackendName, "portal-backend");
}

void PrivateWaylandSession::killPortal() {
    killBusName(kPortalName, "portal");
}

void PrivateWaylandSession::killCompositor() {
    for (auto& daemon : daemons_) {
        if (daemon->name == "sway") {
            daemon->process->kill(SIGKILL);
            daemon->process->waitForExit(kStopLimit);
        }
    }
}

std::vector<pid_t> PrivateWaylandSession::signalStrays(int signal) const {
    // Ours: started by the bus or the compositor, which hand down the
    // session's runtime directory. Not the test's own children (the helper),
    // which their owners stop.
    const std::string marker = "XDG_RUNTIME_DIR=" + runtime_;
    const pid_t self = ::getpid();
    const pid_t session = ::getsid(0);
    std::vector<pid_t> left;
    for (const auto& process : processesOf(uid_)) {
        if (process.zombie ||
            (process.parent == self && process.group != group_ && process.session == session)) {
            continue;
        }
        if (process.group != group_ && !environmentHolds(process.pid, marker))
            continue;
        if (signal != 0)
            ::kill(process.pid, signal);
        left.push_back(process.pid);
    }
    return left;
}

bool PrivateWaylandSession::reapOrphans() {
    // Orphans of this session handed to us: in its process group, or in a
    // session sway made for what it started.
    const pid_t self = ::getpid();
    const pid_t session = ::getsid(0);
    bool none = true;
    for (const auto& process : processesOf(uid_)) {
        if (process.parent != self || (process.group != group_ && process.session == session))
            continue;
        if (!process.zombie || ::waitpid(process.pid, nullptr, WNOHANG) != process.pid)
            none = false;
    }
    return none;
}

void PrivateWaylandSession::stop() {
    if (group_ < 0)
        return;
    // Clients and the desktop's services first, then the daemons in reverse
    // start order, each asked to stop.
    for (auto& client : clients_)
        client->kill(SIGTERM);
    signalStrays(SIGTERM);
    for (auto it = daemons_.rbegin(); it != daemons_.rend(); ++it)
        (*it)->process->kill(SIGTERM);
    const auto allEnded = [this] {
        for (auto& daemon : daemons_)
            if (daemon->process->isRunning())
                return false;
        for (auto& client : clients_)
            if (client->isRunning())
                return false;
        return signalStrays(0).empty();
    };
    if (!waitUntil(allEnded, kStopLimit)) {
        ::kill(-group_, SIGKILL);
        waitUntil([this] { return signalStrays(SIGKILL).empty(); }, kStopLimit);
    }
    clients_.clear();  // each kills and reaps
    daemons_.clear();
    waitUntil([this] { return reapOrphans(); }, kStopLimit);
}

}  // namespace ostrovane::test
