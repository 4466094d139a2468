#include "servers/PrivateDesktopSession.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "servers/SessionProcesses.h"
#include "servers/TiedProcess.h"
#include "support/ProcessTable.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace

PrivateDesktopSession::PrivateDesktopSession(Desktop desktop, Options options)
    : SessionBase("ostrovane-desktop"), desktop_(desktop), options_(options) {
    if (failure_.empty() && !start() && failure_.empty())
        failure_ = "cannot prepare the session's directory " + directory_;
}

PrivateDesktopSession::~PrivateDesktopSession() {
    if (script_)
        SessionProcesses(runtime_, script_->pid()).end(directory_);
    windows_.clear();
    script_.reset();
}

std::vector<std::string> PrivateDesktopSession::environment() const {
    const std::string home = directory_ + "/home";
    const bool gnome = desktop_ == Desktop::gnome;
    std::vector<std::string> env = {"SESSION_DIR=" + directory_,
                                    "XDG_RUNTIME_DIR=" + runtime_,
                                    "PIPEWIRE_RUNTIME_DIR=" + runtime_,
                                    "WAYLAND_DISPLAY=wayland-0",
                                    "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime_ + "/bus",
                                    "HOME=" + home,
                                    "XDG_CONFIG_HOME=" + home + "/.config",
                                    "XDG_DATA_HOME=" + home + "/.local/share",
                                    "XDG_STATE_HOME=" + home + "/.local/state",
                                    "XDG_CACHE_HOME=" + home + "/.cache",
                                    "XDG_DESKTOP_PORTAL_DIR=" + directory_ + "/portals",
                                    "XDG_SESSION_TYPE=wayland",
                                    std::string("XDG_CURRENT_DESKTOP=") + (gnome ? "GNOME" : "KDE"),
                                    std::string("XDG_SESSION_DESKTOP=") + (gnome ? "gnome" : "KDE"),
                                    "LANG=C.UTF-8",
                                    "NO_AT_BRIDGE=1",
                                    "GTK_A11Y=none",
                                    "GDK_BACKEND=wayland"};
    if (!gnome) {
        env.insert(env.end(),
                   {"QT_QPA_PLATFORM=wayland", "KDE_FULL_SESSION=true", "KDE_SESSION_VERSION=5",
                    "FAKE_KEY=" OSTROVANE_FAKE_KEY, "OUTPUTS=" + std::to_string(options_.monitors),
                    std::string("CAST_SHIM=") + (options_.castShim ? OSTROVANE_CAST_SHIM : "")});
    } else {
        std::string monitors;
        for (int i = 0; i < options_.monitors; ++i)
            monitors += i == 0 ? "1280x720" : " 1024x768";
        env.push_back("MONITORS=" + monitors);
    }
    handDown(env, {"QT_LOGGING_RULES"});  // opens KDE's logs when a case needs them
    return env;
}

bool PrivateDesktopSession::start() {
    if (::chmod(directory_.c_str(), 0755) != 0 || ::chown(directory_.c_str(), uid_, gid_) != 0)
        return false;
    const std::string script = std::string(OSTROVANE_DESKTOPS_DIR) +
                               (desktop_ == Desktop::gnome ? "/gnome" : "/kde") + "/session.sh";
    script_ = startTied({"bash", script}, {.environment = environment(),
                                           .logFile = directory_ + "/session.log",
                                           .outputToLog = true,
                                           .processGroup = 0,
                                           .user = uid_,
                                           .group = gid_});
    if (!script_) {
        failure_ = "cannot start " + script;
        return true;
    }
    const std::string ready = directory_ + "/ready";
    if (!waitUntil([&] { return fs::exists(ready) || !script_->isRunning(); }, 60s, 50ms) ||
        !fs::exists(ready))
        failure_ = "the desktop did not start; " + script + " said:\n" + logTail("session") +
                   "\nthe session's logs are in " + directory_ + " until it ends";
    return true;
}

bool PrivateDesktopSession::ready(std::string& failure) {
    if (failure_.empty() && !script_->isRunning())
        failure_ = "a process of the desktop has ended:\n" + logTail("session");
    failure = failure_;
    return failure_.empty();
}

bool PrivateDesktopSession::answer(const std::string& line) {
    std::ofstream out(directory_ + "/dialog-answer");
    return static_cast<bool>(out << line << "\n" << std::flush);
}

// GNOME's rows count monitors from 1; KDE's cards put "Full Workspace" (with
// several monitors) and "New Virtual Output" before them.
bool PrivateDesktopSession::shareMonitor(int index) {
    if (desktop_ == Desktop::gnome)
        return answer("share " + std::to_string(index + 1));
    return answer("share " + std::to_string(index + (options_.monitors > 1 ? 2 : 1)));
}

bool PrivateDesktopSession::shareWorkspace() {
    return desktop_ == Desktop::kde && options_.monitors > 1 && answer("share 0");
}

bool PrivateDesktopSession::shareWindow(int index) {
    return answer("window " + std::to_string(desktop_ == Desktop::gnome ? index + 1 : index));
}

bool PrivateDesktopSession::deny() {
    return answer("deny");
}
std::size_t PrivateDesktopSession::dialogsShown() const {
    return count(readProcessFile(directory_ + "/user.log"), " dialog ");
}

std::string PrivateDesktopSession::logTail(const std::string& name) const {
    return test::logTail(directory_ + "/" + name + ".log");
}

bool PrivateDesktopSession::showWindow(const std::string& colour, bool windowed,
                                       const std::string& title) {
    std::vector<std::string> argv = {
        "python3", std::string(OSTROVANE_DESKTOPS_DIR) + "/colour-window.py", colour};
    if (windowed)
        argv.insert(argv.end(), {"windowed", title});
    auto window = startTied(argv, {.environment = environment(),
                                   .logFile = directory_ + "/windows.log",
                                   .outputToLog = true,
                                   .user = uid_,
                                   .group = gid_});
    if (!window)
        return false;
    windows_.push_back(std::move(window));
    // Shown once it has painted itself; each prints one line then.
    const auto drawn = [&] { return count(readProcessFile(directory_ + "/windows.log"), "drawn"); };
    return waitUntil([&] { return drawn() > shown_; }, 10s, 50ms) && ++shown_ > 0;
}

void PrivateDesktopSession::closeWindows() {
    windows_.clear();
}

bool PrivateDesktopSession::stopSharing() {
    // The top-bar button stops every handle it holds; the user's keyboard
    // (a remote desktop session) is spared, or keys typed just after it comes
    // back would be lost.
    if (desktop_ == Desktop::gnome)
        return runAsUser({"busctl", "--user", "call", "org.gnome.Shell", "/org/gnome/Shell",
                          "org.gnome.Shell", "Eval", "s",
                          "Main.panel.statusArea.screenSharing._handles.forEach(h => "
                          "h.constructor.$gtype.name === 'MetaScreenCastSessionHandle' && "
                          "h.stop())"});
    // The portal puts up its tray item a moment after the share starts.
    std::string ended;  // "i 1"
    return waitUntil(
        [&] {
            return runAsUser({"busctl", "--user", "call", "org.ostrovane.TestUser", "/",
                              "org.ostrovane.TestUser", "StopSharing"},
                             &ended) &&
                   ended.rfind("i 0", 0) != 0;
        },
        5s, 200ms);
}

pid_t PrivateDesktopSession::pidOf(const std::string& name) const {
    std::istringstream pids(readProcessFile(directory_ + "/pids"));
    pid_t found = 0;
    for (std::string named; pids >> named;) {
        pid_t pid = 0;
        pids >> pid;
        if (named == name)
            found = pid;
    }
    return found;
}

void PrivateDesktopSession::kill(const std::string& name, const std::string& busName) {
    std::vector<pid_t> pids = {pidOf(name)};
    if (const pid_t owner = busName.empty() ? 0 : busOwner(busName); owner > 0)
        pids.push_back(owner);
    for (const pid_t pid : pids) {
        // The recorded pid is a child of the script, which stays to reap it:
        // it is ours until then.
        if (pid > 0 && readProcessFile("/proc/" + std::to_string(pid) + "/environ")
                               .find("XDG_RUNTIME_DIR=" + runtime_) != std::string::npos)
            ::kill(pid, SIGKILL);
    }
    waitUntil(
        [&] {
            return !fs::exists("/proc/" + std::to_string(pids.front()) + "/status") ||
                   readProcessFile("/proc/" + std::to_string(pids.front()) + "/stat").find(") Z") !=
                       std::string::npos;
        },
        3s);
    if (!busName.empty())
        waitUntil([&] { return busOwner(busName) == 0; }, 3s);
}

void PrivateDesktopSession::killPortalBackend() {
    kill("portal-backend", desktop_ == Desktop::gnome ? "org.freedesktop.impl.portal.desktop.gnome"
                                                      : "org.freedesktop.impl.portal.desktop.kde");
}

void PrivateDesktopSession::killCompositor() {
    kill("compositor");
}

std::vector<ProcessIdentity> PrivateDesktopSession::processes() const {
    return script_ ? SessionProcesses(runtime_, script_->pid()).list()
                   : std::vector<ProcessIdentity>{};
}

bool PrivateDesktopSession::runAsUser(const std::vector<std::string>& argv,
                                      std::string* output) const {
    return runCommand(argv, environment(), directory_ + "/command.out", output, uid_, gid_);
}

}  // namespace ostrovane::test
