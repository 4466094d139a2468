#include "servers/PrivateSystemBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace ostrovane::test {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kCallTimeoutUsec = 5'000'000;

void reap(pid_t pid) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        const pid_t done = waitpid(pid, nullptr, WNOHANG);
        if (done == pid || done < 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Everyone may connect, own any name, and send and receive anything.
std::string configuration(const std::string& socket) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)" +
           socket + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
)";
}

}  // namespace

PrivateSystemBus::PrivateSystemBus() {
    char pattern[] = "/tmp/ostrovane-bus.XXXXXX";
    if (!mkdtemp(pattern)) {
        failure_ = "cannot create a temporary directory";
        return;
    }
    directory_ = pattern;
    socket_ = directory_ + "/bus";
    std::ofstream(directory_ + "/bus.conf") << configuration(socket_);
    ready_ = start();
}

PrivateSystemBus::~PrivateSystemBus() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        reap(pid_);
    }
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

void PrivateSystemBus::kill() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    reap(pid_);
    pid_ = -1;
    ready_ = false;
}

bool PrivateSystemBus::restart() {
    kill();
    ready_ = start();
    return ready_;
}

bool PrivateSystemBus::start() {
    std::error_code ignored;
    std::filesystem::remove(socket_, ignored);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        failure_ = "cannot create a pipe";
        return false;
    }
    // Everything the child needs is prepared before the fork: after it, only
    // async-signal-safe calls. The address comes back on descriptor 3.
    const std::string config = "--config-file=" + directory_ + "/bus.conf";
    const std::string log = directory_ + "/daemon.log";
    const char* argv[] = {"dbus-daemon", "--nofork", "--print-address=3", config.c_str(), nullptr};
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // A test process that dies without its destructors takes the daemon
        // along instead of leaving it behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (in < 0 || out < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
            dup2(out, STDERR_FILENO) < 0 || dup2(fds[1], 3) < 0) {
            _exit(127);
        }
        execvp(argv[0], const_cast<char* const*>(argv));
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        failure_ = "cannot fork";
        return false;
    }
    pid_ = pid;

    // Ready once it printed its address (a line); an exec failure or an exit
    // closes the pipe first.
    std::string printed;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (printed.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fds[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buffer[256];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        printed.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (printed.find('\n') != std::string::npos)
        return true;
    failure_ = "dbus-daemon did not start (is it installed?); see " + log;
    ::kill(pid_, SIGKILL);
    reap(pid_);
    pid_ = -1;
    return false;
}

void BusClient::Close::operator()(sd_bus* bus) const {
    sd_bus_flush_close_unref(bus);
}

BusClient::BusClient(const std::string& address) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0)
        return;
    std::unique_ptr<sd_bus, Close> bus(raw);
    if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
        sd_bus_set_method_call_timeout(raw, kCallTimeoutUsec) < 0 || sd_bus_start(raw) < 0) {
        return;
    }
    // The unique name arrives with the answer to Hello: wait for it.
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(raw, &unique) < 0)
        return;
    bus_ = std::move(bus);
}

BusClient::~BusClient() = default;

std::string BusClient::uniqueName() const {
    const char* unique = nullptr;
    if (!bus_ || sd_bus_get_unique_name(bus_.get(), &unique) < 0)
        return {};
    return unique;
}

bool BusClient::own(const std::string& name) {
    return bus_ && sd_bus_request_name(bus_.get(), name.c_str(), 0) >= 0;
}

std::vector<std::string> BusClient::otherClients() {
    std::vector<std::string> clients;
    if (!bus_)
        return clients;
    char** names = nullptr;
    if (sd_bus_list_names(bus_.get(), &names, nullptr) < 0)
        return clients;
    const std::string own = uniqueName();
    for (char** name = names; name && *name; ++name) {
        if ((*name)[0] == ':' && own != *name)
            clients.emplace_back(*name);
        free(*name);
    }
    free(names);
    return clients;
}

bool BusClient::ping(const std::string& destination) {
    if (!bus_)
        return false;
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call_method(bus_.get(), destination.c_str(), "/",
                                     "org.freedesktop.DBus.Peer", "Ping", nullptr, &reply, "");
    sd_bus_message_unref(reply);
    return r >= 0;
}

bool BusClient::emitPrepareForSleep(bool sleeping, const std::string& destination) {
    if (!bus_)
        return false;
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_signal(bus_.get(), &raw, "/org/freedesktop/login1",
                                  "org.freedesktop.login1.Manager", "PrepareForSleep") < 0) {
        return false;
    }
    std::unique_ptr<sd_bus_message, sd_bus_message* (*)(sd_bus_message*)> message(
        raw, sd_bus_message_unref);
    if ((!destination.empty() && sd_bus_message_set_destination(raw, destination.c_str()) < 0) ||
        sd_bus_message_append(raw, "b", sleeping ? 1 : 0) < 0 ||
        sd_bus_send(bus_.get(), raw, nullptr) < 0) {
        return false;
    }
    return sd_bus_flush(bus_.get()) >= 0;
}

}  // namespace ostrovane::test
