#include "servers/PrivateWaylandSession.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "servers/SessionProcesses.h"
#include "servers/TiedProcess.h"
#include "support/ProcessTable.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

// Ours, not the packaged one, which fails every cast here; built by
// scripts/build-test-portal.sh.
constexpr const char* kPortalBackend = "/usr/local/lib/ostrovane-test/xdg-desktop-portal-wlr";
constexpr const char* kBackendName = "org.freedesktop.impl.portal.desktop.wlr";
constexpr const char* kMovingContentTitle = "ostrovane-moving-content";
// sway's first choice (it leaves wayland-0 alone): the runtime directory is
// the session's own.
constexpr const char* kDisplay = "wayland-1";
constexpr seconds kStartLimit(10);
constexpr seconds kStopLimit(3);

bool writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path);
    return static_cast<bool>(out << text << std::flush);
}

}  // namespace

PrivateWaylandSession::PrivateWaylandSession(Options options)
    : SessionBase("ostrovane-wayland"), options_(options) {
    if (failure_.empty() && !start() && failure_.empty())
        failure_ = "cannot prepare the session's directory " + directory_;
}

PrivateWaylandSession::~PrivateWaylandSession() {
    stop();
}

bool PrivateWaylandSession::ready(std::string& failure) {
    for (auto& [name, process] : daemons_) {
        if (failure_.empty() && !process->isRunning())
            failure_ = name + " has exited; its log ends with:\n" +
                       logTail(directory_ + "/" + name + ".log");
    }
    failure = failure_;
    return failure_.empty();
}

std::vector<std::string> PrivateWaylandSession::environment() const {
    const std::string home = directory_ + "/home";
    std::vector<std::string> env = {
        "XDG_RUNTIME_DIR=" + runtime_, "PIPEWIRE_RUNTIME_DIR=" + runtime_,
        "WAYLAND_DISPLAY=" + std::string(kDisplay), "SWAYSOCK=" + runtime_ + "/sway.sock",
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime_ + "/bus", "XDG_SESSION_TYPE=wayland",
        "XDG_CURRENT_DESKTOP=sway", "HOME=" + home, "XDG_STATE_HOME=" + home + "/.local/state",
        "LANG=C.UTF-8",
        // For the compositor and the portal backend; the bus hands them down.
        "WLR_BACKENDS=headless", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1",
        "XDPW_PERSIST_MODE=permanent",
        // Only the wlroots backend, as on a sway install: other desktops'
        // backends installed beside it would be started for some interfaces.
        "XDG_DESKTOP_PORTAL_DIR=" + directory_ + "/portals"};
    if (options_.pulse)
        env.push_back("PULSE_SERVER=unix:" + runtime_ + "/pulse/native");
    handDown(env);  // a sanitized helper keeps the test run's sanitizer settings
    return env;
}

bool PrivateWaylandSession::start() {
    if (options_.portal && ::access(kPortalBackend, X_OK) != 0) {
        failure_ = std::string("the test portal backend ") + kPortalBackend +
                   " is missing; build it with scripts/build-test-portal.sh (as root)";
        return false;
    }
    // Xwayland stays off: it would claim an X display number shared with the
    // X tests. The moving content floats in the top left corner.
    const std::string compositor =
        std::string("xwayland disable\ndefault_border none\noutput ") + kOutput +
        " resolution 1280x720 position 0 0 bg #336699 solid_color\n"
        "for_window [title=\"^" +
        kMovingContentTitle +
        "$\"] floating enable, resize set 320 120, move absolute position 0 0\n";
    // The user's pick in the portal's dialog, scripted: the output named by
    // pickOutput(), else the first one. No dialog is shown.
    const std::string pick = directory_ + "/picked-output";
    const std::string chooser = "#!/bin/sh\ncat >/dev/null\nif [ -s " + pick + " ]; then cat " +
                                pick + "; else echo " + kOutput + "; fi\n";
    const std::string portalConfig = directory_ + "/portal.conf";
    const std::string backend =
        "[screencast]\nmax_fps=30\nchooser_type=dmenu\nchooser_cmd=" + directory_ +
        "/choose-output\n";
    // The bus starts our backend again after a crash, as a desktop's bus
    // does, before the packaged services. The test process (root) may connect.
    const std::string services = directory_ + "/services";
    const std::string service = std::string("[D-BUS Service]\nName=") + kBackendName +
                                "\nExec=" + kPortalBackend + " -l DEBUG -c " + portalConfig + "\n";
    const std::string serviceDirs = "<servicedir>" + services +
                                    "</servicedir><servicedir>/usr/share/dbus-1/services"
                                    "</servicedir>";
    const std::string bus =
        "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>" +
        (options_.portal ? serviceDirs : "") +
        "<policy context=\"default\"><allow user=\"root\"/><allow send_destination=\"*\" "
        "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    std::error_code error;
    for (const std::string& dir :
         {runtime_, services, directory_ + "/home/.local/state", directory_ + "/portals"}) {
        if (!fs::create_directories(dir, error))
            return false;
    }
    fs::copy_file("/usr/share/xdg-desktop-portal/portals/wlr.portal",
                  directory_ + "/portals/wlr.portal", error);
    if (!writeFile(directory_ + "/sway.conf", compositor) ||
        !writeFile(directory_ + "/choose-output", chooser) ||
        ::chmod((directory_ + "/choose-output").c_str(), 0755) != 0 ||
        !writeFile(portalConfig, backend) || !writeFile(directory_ + "/bus.conf", bus) ||
        !writeFile(services + "/" + kBackendName + ".service", service) ||
        ::chmod(runtime_.c_str(), 0700) != 0 || ::chown(directory_.c_str(), uid_, gid_) != 0)
        return false;
    for (const auto& entry : fs::recursive_directory_iterator(directory_, error)) {
        if (::chown(entry.path().c_str(), uid_, gid_) != 0)
            return false;
    }

    const auto answers = [](const std::string& path) {
        return [=] { return socketAnswers(path); };
    };
    std::string outputs;
    return startDaemon("bus",
                       {"dbus-daemon", "--config-file=" + directory_ + "/bus.conf", "--nofork",
                        "--nopidfile", "--address=unix:path=" + runtime_ + "/bus"},
                       "answer", [&] { return busOwner("org.freedesktop.DBus") > 0; }) &&
           startDaemon("pipewire", {"pipewire"}, "open its socket",
                       answers(runtime_ + "/pipewire-0")) &&
           // Links a cast's stream to its consumer; waited for last, while the rest starts.
           startDaemon("wireplumber", {"wireplumber"}) &&
           (!options_.pulse || startDaemon("pipewire-pulse", {"pipewire-pulse"}, "open its socket",
                                           answers(runtime_ + "/pulse/native"))) &&
           startDaemon("sway", {"sway", "-c", directory_ + "/sway.conf"},
                       std::string("open its socket ") + kDisplay + " and its output",
                       [&] {
                           return socketAnswers(runtime_ + "/" + kDisplay) &&
                                  sway({"-t", "get_outputs"}, &outputs) &&
                                  outputs.find(kOutput) != std::string::npos;
                       }) &&
           (!options_.portal ||
            (startDaemon("portal-backend", {kPortalBackend, "-l", "DEBUG", "-c", portalConfig},
                         "take its bus name", [&] { return busOwner(kBackendName) > 0; }) &&
             startDaemon("portal", {"/usr/libexec/xdg-desktop-portal", "-v"}, "take its bus name",
                         [&] { return busOwner("org.freedesktop.portal.Desktop") > 0; }))) &&
           // The session manager publishes the "default" metadata once it runs.
           waitFor("wireplumber", "register with PipeWire", [&] {
               return run({"pw-metadata", "-n", "default"}, &outputs) &&
                      outputs.find("Found \"default\"") != std::string::npos;
           });
}

std::unique_ptr<Subprocess> PrivateWaylandSession::launch(const std::string& log,
                                                          const std::vector<std::string>& argv) {
    auto process = startTied(argv, {.environment = environment(),
                                    .logFile = directory_ + "/" + log + ".log",
                                    .outputToLog = true,
                                    .processGroup = std::max(group_, 0),
                                    .user = uid_,
                                    .group = gid_});
    if (!process)
        failure_ = log + " did not start as user " + kUser;
    else if (group_ < 0)
        group_ = process->pid();
    return process;
}

bool PrivateWaylandSession::startDaemon(const std::string& name,
                                        const std::vector<std::string>& argv,
                                        const std::string& what,
                                        const std::function<bool()>& done) {
    auto process = launch(name, argv);
    if (!process)
        return false;
    daemons_.emplace_back(name, std::move(process));
    return !done || waitFor(name, what, done);
}

bool PrivateWaylandSession::waitFor(const std::string& name, const std::string& what,
                                    const std::function<bool()>& done) {
    bool exited = false;
    if (waitUntil([&] { return (exited = !daemon(name).isRunning()) || done(); }, kStartLimit) &&
        !exited)
        return true;
    failure_ = name + (exited ? " exited at start" : " did not " + what + " within 10 s") +
               "; its log ends with:\n" + logTail(directory_ + "/" + name + ".log");
    return false;
}

Subprocess& PrivateWaylandSession::daemon(const std::string& name) {
    for (auto& [named, process] : daemons_) {
        if (named == name)
            return *process;
    }
    throw std::logic_error("no daemon " + name);
}

bool PrivateWaylandSession::run(const std::vector<std::string>& argv, std::string* output) const {
    return runCommand(argv, environment(), directory_ + "/command.out", output);
}

bool PrivateWaylandSession::sway(const std::vector<std::string>& args, std::string* output) {
    std::vector<std::string> argv = {"swaymsg", "-s", runtime_ + "/sway.sock"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, output);
}

bool PrivateWaylandSession::pickOutput(const std::string& name) {
    return writeFile(directory_ + "/picked-output", name + "\n");
}

bool PrivateWaylandSession::startMovingContent() {
    // Frames keep coming once the window is on the output.
    return openTerminal(kMovingContentTitle,
                        {"sh", "-c", "while :; do date +%T.%N; sleep 0.02; done"});
}

bool PrivateWaylandSession::openTerminal(const std::string& title,
                                         const std::vector<std::string>& command) {
    std::vector<std::string> argv = {"foot", "--title=" + title};
    argv.insert(argv.end(), command.begin(), command.end());
    auto foot = launch("clients", argv);
    if (!foot)
        return false;
    clients_.push_back(std::move(foot));
    return waitForWindow(title, true, kStartLimit);
}

bool PrivateWaylandSession::closeWindow(const std::string& title) {
    return sway({"[title=\"^" + title + "$\"]", "kill"}) && waitForWindow(title, false, kStopLimit);
}

bool PrivateWaylandSession::waitForWindow(const std::string& title, bool shown, seconds limit) {
    std::string tree;
    const auto seen = [&] {
        return sway({"-t", "get_tree"}, &tree) &&
               (tree.find("\"" + title + "\"") != std::string::npos) == shown;
    };
    return waitUntil(seen, limit, std::chrono::milliseconds(50));
}

void PrivateWaylandSession::killPortalBackend() {
    if (const pid_t owner = busOwner(kBackendName); owner > 0)
        ::kill(owner, SIGKILL);
    daemon("portal-backend").kill(SIGKILL);
    daemon("portal-backend").waitForExit(kStopLimit);
    waitUntil([&] { return busOwner(kBackendName) == 0; }, kStopLimit);
}

void PrivateWaylandSession::killCompositor() {
    daemon("sway").kill(SIGKILL);
    daemon("sway").waitForExit(kStopLimit);
}

void PrivateWaylandSession::stop() {
    if (group_ < 0)
        return;
    // Ours: in the session's process group, or started by the bus or the
    // compositor, which hand down its runtime directory; also the document
    // portal's fusermount3, which runs as root.
    SessionProcesses processes(runtime_, group_);
    processes.sweep(SIGTERM, false);
    if (!waitUntil([&] { return processes.sweep(0, false) == 0; }, kStopLimit))
        waitUntil([&] { return processes.sweep(SIGKILL, false) == 0; }, kStopLimit);
    clients_.clear();  // each reaps its own
    daemons_.clear();
    waitUntil([&] { return processes.sweep(0, true) == 0; }, kStopLimit);
    unmountBelow(directory_);
}

}  // namespace ostrovane::test
