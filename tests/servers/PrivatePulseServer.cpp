#include "servers/PrivatePulseServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace ostrovane::test {

namespace {

using Clock = std::chrono::steady_clock;

// Reaps `pid`, waiting at most `limit`; kills it when it does not exit.
int reap(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (Clock::now() < deadline) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

void stop(pid_t pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    reap(pid, std::chrono::seconds(5));
}

bool socketAnswers(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

}  // namespace

SpawnedClient& SpawnedClient::operator=(SpawnedClient&& other) noexcept {
    if (this != &other) {
        stop(pid_);
        pid_ = other.pid_;
        other.pid_ = -1;
    }
    return *this;
}

SpawnedClient::~SpawnedClient() {
    stop(pid_);
}

PrivatePulseServer::PrivatePulseServer() {
    char pattern[] = "/tmp/ostrovane-pulse.XXXXXX";
    if (!mkdtemp(pattern)) {
        failure_ = "cannot create a temporary directory";
        return;
    }
    directory_ = pattern;
    socket_ = directory_ + "/native";
    ready_ = startServer();
}

bool PrivatePulseServer::startServer(const std::vector<std::string>& modules) {
    std::vector<std::string> argv = {
        "pulseaudio",
        "-n",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "--use-pid-file=no",
        "-L",
        std::string("module-null-sink sink_name=") + kSpeakers +
            " sink_properties=device.description=Speakers",
    };
    // Everything is loaded before the socket opens: clients that reconnect
    // find the server complete.
    for (const auto& module : modules) {
        argv.push_back("-L");
        argv.push_back(module);
    }
    argv.push_back("-L");
    argv.push_back("module-native-protocol-unix auth-anonymous=1 socket=" + socket_);
    const int log =
        open((directory_ + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    pid_ = launch(argv, log);
    if (log >= 0)
        close(log);
    if (pid_ <= 0) {
        failure_ = "cannot launch pulseaudio (is it installed?)";
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            failure_ = "pulseaudio exited at start; see " + directory_ + "/server.log";
            return false;
        }
        if (socketAnswers(socket_) && pactl({"info"}))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    failure_ = "pulseaudio did not answer within 10 s";
    return false;
}

void PrivatePulseServer::kill() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    reap(pid_, std::chrono::seconds(5));
    pid_ = -1;
    ready_ = false;
    std::error_code ignored;
    std::filesystem::remove(socket_, ignored);
}

bool PrivatePulseServer::restart(const std::vector<std::string>& modules) {
    if (pid_ > 0)
        kill();
    ready_ = startServer(modules);
    return ready_;
}

PrivatePulseServer::~PrivatePulseServer() {
    stop(pid_);
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

std::vector<std::string> PrivatePulseServer::environment() const {
    std::vector<std::string> env;
    const std::vector<std::string> replaced = {
        "PULSE_SERVER=", "XDG_RUNTIME_DIR=", "PULSE_RUNTIME_PATH=", "PULSE_STATE_PATH=", "HOME="};
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (std::none_of(replaced.begin(), replaced.end(),
                         [&](const std::string& key) { return entry.rfind(key, 0) == 0; })) {
            env.push_back(entry);
        }
    }
    env.push_back("PULSE_SERVER=" + server());
    env.push_back("XDG_RUNTIME_DIR=" + directory_);
    env.push_back("PULSE_RUNTIME_PATH=" + directory_ + "/runtime");
    env.push_back("PULSE_STATE_PATH=" + directory_ + "/state");
    env.push_back("HOME=" + directory_);
    return env;
}

pid_t PrivatePulseServer::launch(const std::vector<std::string>& argv, int stdoutFd) const {
    // Everything the child needs is prepared before the fork: after it, only
    // async-signal-safe calls.
    std::vector<std::string> env = environment();
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string log = directory_ + "/clients.log";
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // A test process that dies without its destructors takes its server and
    // clients along instead of leaving them behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    const int in = open("/dev/null", O_RDONLY);
    const int out = stdoutFd >= 0 ? stdoutFd : open("/dev/null", O_WRONLY);
    const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, STDIN_FILENO) < 0 ||
        dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) {
        _exit(127);
    }
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
}

CommandResult PrivatePulseServer::run(const std::vector<std::string>& argv,
                                      std::chrono::milliseconds limit) const {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return {};
    const pid_t pid = launch(argv, fds[1]);
    close(fds[1]);
    CommandResult result;
    if (pid > 0) {
        const auto deadline = Clock::now() + limit;
        char buffer[4096];
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fds[0], POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            result.output.append(buffer, static_cast<std::size_t>(n));
        }
        result.status = reap(pid, limit);
    }
    close(fds[0]);
    return result;
}

std::optional<std::string> PrivatePulseServer::pactl(
    const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv = {"pactl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    CommandResult result = run(argv);
    if (result.status != 0)
        return std::nullopt;
    return trimmed(result.output);
}

bool PrivatePulseServer::killSourceOutput(std::uint32_t index) const {
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "ostrovane-test-killer");
    const std::string address = server();
    int outcome = -1;  // -1 pending, 0 failed, 1 killed
    pa_operation* operation = nullptr;
    if (pa_context_connect(context, address.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (outcome < 0 && Clock::now() < deadline) {
            pa_mainloop_iterate(loop, 0, nullptr);
            const pa_context_state_t state = pa_context_get_state(context);
            if (!PA_CONTEXT_IS_GOOD(state))
                break;
            if (state == PA_CONTEXT_READY && !operation) {
                operation = pa_context_kill_source_output(
                    context, index,
                    [](pa_context*, int success, void* result) {
                        *static_cast<int*>(result) = success ? 1 : 0;
                    },
                    &outcome);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    if (operation) {
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return outcome == 1;
}

SpawnedClient PrivatePulseServer::spawn(const std::vector<std::string>& argv) const {
    return SpawnedClient(launch(argv, -1));
}

std::optional<std::string> PrivatePulseServer::addSineSource(const std::string& name,
                                                             const std::string& description,
                                                             int rate, int frequency) const {
    return pactl({"load-module", "module-sine-source", "source_name=" + name,
                  "rate=" + std::to_string(rate), "frequency=" + std::to_string(frequency),
                  "source_properties='device.description=\"" + description + "\"'"});
}

std::optional<PipeSource> PrivatePulseServer::addPipeSource(const std::string& name,
                                                            const std::string& description,
                                                            int channels, int rate) const {
    PipeSource source;
    source.name = name;
    source.fifo = directory_ + "/" + name + ".fifo";
    source.channels = channels;
    source.rate = rate;
    auto module = pactl({"load-module", "module-pipe-source", "source_name=" + name,
                         "file=" + source.fifo, "format=s16le", "rate=" + std::to_string(rate),
                         "channels=" + std::to_string(channels),
                         "source_properties='device.description=\"" + description + "\"'"});
    if (!module)
        return std::nullopt;
    source.module = *module;
    return source;
}

}  // namespace ostrovane::test
