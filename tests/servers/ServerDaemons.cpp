#include "servers/ServerDaemons.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "servers/TiedProcess.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {

using std::chrono::seconds;

std::string readFor(int fd, std::chrono::milliseconds limit,
                    const std::function<bool(const std::string&)>& done) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    std::string text;
    char buffer[4096];
    while (!done || !done(text)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

ServerDaemons::ServerDaemons(ServerKind kind, std::string directory)
    : kind_(kind), directory_(std::move(directory)) {}

ServerDaemons::~ServerDaemons() {
    // A clean stop first, so that the servers remove their sockets.
    signalGroup(SIGTERM);
    waitUntil(
        [this] {
            return std::none_of(processes_.begin(), processes_.end(),
                                [](const auto& process) { return process->isRunning(); });
        },
        seconds(3));
    kill();
    bus_.reset();
}

std::string ServerDaemons::socket() const {
    return directory_ + (kind_ == ServerKind::PipeWire ? "/pulse/native" : "/native");
}

std::unique_ptr<Subprocess> ServerDaemons::start(const std::vector<std::string>& argv,
                                                 const std::vector<std::string>& environment,
                                                 const std::string& log, pid_t group) const {
    return startTied(argv, {.environment = environment,
                            .logFile = directory_ + "/" + log,
                            .outputToLog = true,
                            .processGroup = group});
}

bool ServerDaemons::launch(const std::vector<std::string>& environment,
                           const std::vector<std::string>& modules, std::string& failure) {
    if (kind_ == ServerKind::PipeWire)
        return launchPipeWire(environment, failure);
    std::vector<std::string> argv = {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                     "--use-pid-file=no"};
    // Everything is loaded before the socket opens: clients that reconnect
    // find the server complete.
    std::vector<std::string> loaded = {std::string("module-null-sink sink_name=") +
                                       PrivatePulseServer::kSpeakers +
                                       " sink_properties=device.description=Speakers"};
    loaded.insert(loaded.end(), modules.begin(), modules.end());
    loaded.push_back("module-native-protocol-unix auth-anonymous=1 socket=" + socket());
    for (const auto& module : loaded)
        argv.insert(argv.end(), {"-L", module});
    return add(argv, environment, 0, failure);
}

bool ServerDaemons::add(const std::vector<std::string>& argv,
                        const std::vector<std::string>& environment, pid_t group,
                        std::string& failure) {
    auto process = start(argv, environment, "server.log", group);
    if (!process) {
        failure = "cannot launch " + argv.front() + " (is it installed?)";
        return false;
    }
    processes_.push_back(std::move(process));
    return true;
}

bool ServerDaemons::launchPipeWire(const std::vector<std::string>& environment,
                                   std::string& failure) {
    const std::string busSocket = directory_ + "/bus";
    if (!bus_) {
        bus_ = start({"dbus-daemon", "--session", "--nofork", "--address=" + busAddress()},
                     environment, "bus.log", 0);
        if (!bus_ || !waitUntil([&] { return socketAnswers(busSocket); }, seconds(5))) {
            bus_.reset();
            failure = "the session bus did not start (is dbus-daemon installed?); see " +
                      directory_ + "/bus.log";
            return false;
        }
    }
    if (!add({"pipewire"}, environment, 0, failure))
        return false;
    const pid_t group = processes_.back()->pid();
    // The session manager and the pulse server connect to the core's socket.
    if (!waitUntil([&] { return socketAnswers(directory_ + "/pipewire-0"); }, seconds(5))) {
        failure = "pipewire did not open its socket within 5 s; see " + directory_ + "/server.log";
        return false;
    }
    return add({"wireplumber"}, environment, group, failure) &&
           add({"pipewire-pulse"}, environment, group, failure);
}

bool ServerDaemons::anyExited() {
    for (auto& process : processes_)
        if (!process->isRunning())
            return true;
    return false;
}

void ServerDaemons::signalGroup(int signal) {
    if (!processes_.empty() && processes_.front()->isRunning())
        ::kill(-processes_.front()->pid(), signal);
    for (auto& process : processes_)
        process->kill(signal);
}

void ServerDaemons::kill() {
    signalGroup(SIGKILL);
    processes_.clear();  // reaps each
    std::error_code ignored;
    std::filesystem::remove(socket(), ignored);
}

}  // namespace ostrovane::test
