#include "servers/PrivatePulseServer.h"

#include <pulse/pulseaudio.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "servers/PrivateSystemBus.h"
#include "servers/TiedProcess.h"
#include "support/ToolOutput.h"
#include "support/WaitUntil.h"

extern char** environ;

namespace ostrovane::test {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// "module-x a=1 b=2" as words, and the arguments of such words by name over
// their defaults.
std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> result;
    for (std::string word; in >> word;)
        result.push_back(word);
    return result;
}

std::map<std::string, std::string> argumentsOf(const std::vector<std::string>& words,
                                               std::map<std::string, std::string> arguments) {
    for (std::size_t i = 1; i < words.size(); ++i) {
        const auto equals = words[i].find('=');
        if (equals != std::string::npos)
            arguments[words[i].substr(0, equals)] = words[i].substr(equals + 1);
    }
    return arguments;
}

}  // namespace

// The processes behind a private sound server: PulseAudio alone, or PipeWire
// with its session manager and its pulse server next to a session bus of
// their own. The server's processes share one process group, so that
// stopping or killing it leaves none behind; the bus outlives kill(), as a
// desktop's does when its sound server crashes.
class ServerDaemons {
  public:
    ServerDaemons(ServerKind kind, std::string directory)
        : kind_(kind), directory_(std::move(directory)) {
        if (kind_ == ServerKind::PipeWire)
            bus_ = std::make_unique<PrivateSystemBus>();
    }
    ~ServerDaemons() {
        // A clean stop first, so that the servers remove their sockets.
        signalGroup(SIGTERM);
        waitUntil([this] { return std::ranges::none_of(processes_, &Subprocess::isRunning); },
                  seconds(3));
        kill();
    }

    // Where the server's pulse socket opens.
    std::string socket() const {
        return directory_ + (kind_ == ServerKind::PipeWire ? "/pulse/native" : "/native");
    }
    // The session bus the server's processes share (PipeWire only).
    std::string busAddress() const { return bus_ ? bus_->address() : ""; }

    // Starts the server's processes with `environment`. PulseAudio loads
    // `modules` before its socket opens (clients that reconnect find the
    // server complete); PipeWire takes none here. Whether everything could
    // be started; why not in `failure`.
    bool launch(const std::vector<std::string>& environment,
                const std::vector<std::string>& modules, std::string& failure) {
        if (kind_ == ServerKind::PulseAudio) {
            auto argv = words("pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no");
            std::vector<std::string> loaded = {std::string("module-null-sink sink_name=") +
                                               PrivatePulseServer::kSpeakers +
                                               " sink_properties=device.description=Speakers"};
            loaded.insert(loaded.end(), modules.begin(), modules.end());
            loaded.push_back("module-native-protocol-unix auth-anonymous=1 socket=" + socket());
            for (const auto& module : loaded)
                argv.insert(argv.end(), {"-L", module});
            return add(argv, environment, 0, failure);
        }
        if (!bus_->ready()) {
            failure = "the session bus did not start: " + bus_->failure();
            return false;
        }
        if (!add({"pipewire"}, environment, 0, failure))
            return false;
        // The session manager and the pulse server connect to the core's socket.
        if (!waitUntil([&] { return socketAnswers(directory_ + "/pipewire-0"); }, seconds(5))) {
            failure =
                "pipewire did not open its socket within 5 s; see " + directory_ + "/server.log";
            return false;
        }
        const pid_t group = processes_.front()->pid();
        return add({"wireplumber"}, environment, group, failure) &&
               add({"pipewire-pulse"}, environment, group, failure);
    }
    // Whether one of the server's processes has ended.
    bool anyExited() { return !std::ranges::all_of(processes_, &Subprocess::isRunning); }
    // Kills every process of the server at once and reaps them.
    void kill() {
        signalGroup(SIGKILL);
        processes_.clear();  // reaps each
        std::error_code ignored;
        std::filesystem::remove(socket(), ignored);
    }

  private:
    // Starts one of the server's processes into `group` (0: a new one) and keeps it.
    bool add(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             pid_t group, std::string& failure) {
        auto process = startTied(argv, {.environment = environment,
                                        .logFile = directory_ + "/server.log",
                                        .outputToLog = true,
                                        .processGroup = group});
        if (!process) {
            failure = "cannot launch " + argv.front() + " (is it installed?)";
            return false;
        }
        processes_.push_back(std::move(process));
        return true;
    }
    void signalGroup(int signal) {
        if (!processes_.empty() && processes_.front()->isRunning())
            ::kill(-processes_.front()->pid(), signal);
        for (auto& process : processes_)
            process->kill(signal);
    }

    ServerKind kind_;
    std::string directory_;
    std::unique_ptr<PrivateSystemBus> bus_;
    // The group leader first.
    std::vector<std::unique_ptr<Subprocess>> processes_;
};

ServerKind selectedServerKind() {
    const char* chosen = std::getenv("OSTROVANE_SOUND_SERVER");
    return chosen && std::string(chosen) == "pipewire" ? ServerKind::PipeWire
                                                       : ServerKind::PulseAudio;
}

PrivatePulseServer::PrivatePulseServer(ServerKind kind) : kind_(kind) {
    char pattern[] = "/tmp/ostrovane-pulse.XXXXXX";
    if (!mkdtemp(pattern)) {
        failure_ = "cannot create a temporary directory";
        return;
    }
    directory_ = pattern;
    daemons_ = std::make_unique<ServerDaemons>(kind_, directory_);
    socket_ = daemons_->socket();
    ready_ = startServer();
}

PrivatePulseServer::~PrivatePulseServer() {
    feeders_.clear();
    daemons_.reset();
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

bool PrivatePulseServer::startServer(const std::vector<std::string>& modules) {
    const bool pipewire = kind_ == ServerKind::PipeWire;
    const auto fail = [&](const std::string& why) {
        failure_ = why;
        daemons_->kill();
        return false;
    };
    const std::string name = pipewire ? "pipewire" : "pulseaudio";
    std::string why;
    if (!daemons_->launch(environment(), pipewire ? std::vector<std::string>{} : modules, why))
        return fail(why);
    bool exited = false;
    const bool answers = waitUntil(
        [&] {
            exited = daemons_->anyExited();
            return exited || pactl({"info"}).has_value();
        },
        seconds(10));
    if (exited || !answers)
        return fail(name + (exited ? " exited at start" : " did not answer within 10 s") +
                    "; see " + directory_ + "/server.log");
    if (!pipewire)
        return true;
    // PipeWire starts with a placeholder sink; our speakers become the
    // chosen default, which its session manager keeps across restarts. A
    // loaded sink shows up a moment after the module answers.
    const bool speakers =
        pactl({"load-module", "module-null-sink", std::string("sink_name=") + kSpeakers,
               "sink_properties=device.description=Speakers"})
            .has_value() &&
        waitUntil(
            [&] {
                return pactl({"set-default-sink", kSpeakers}) &&
                       pactl({"get-default-sink"}) == std::string(kSpeakers);
            },
            seconds(5), milliseconds(50));
    if (!speakers)
        return fail("pipewire did not take the speakers as its default sink");
    for (const auto& module : modules) {
        if (!loadModule(words(module)))
            return fail("pipewire could not load " + module);
    }
    return true;
}

void PrivatePulseServer::kill() {
    daemons_->kill();
    feeders_.clear();
    ready_ = false;
}

bool PrivatePulseServer::restart(const std::vector<std::string>& modules) {
    kill();
    ready_ = startServer(modules);
    return ready_;
}

std::vector<std::string> PrivatePulseServer::environment() const {
    // Ours replace the test run's own.
    const auto replaced = words(
        "PULSE_SERVER XDG_RUNTIME_DIR PULSE_RUNTIME_PATH PULSE_STATE_PATH HOME XDG_CONFIG_HOME "
        "XDG_STATE_HOME PIPEWIRE_RUNTIME_DIR PIPEWIRE_REMOTE PULSE_SINK PULSE_SOURCE "
        "DBUS_SESSION_BUS_ADDRESS");
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (std::find(replaced.begin(), replaced.end(), entry.substr(0, entry.find('='))) ==
            replaced.end())
            env.push_back(entry);
    }
    // PipeWire's pulse server opens its socket in the runtime path.
    env.insert(env.end(), {"PULSE_SERVER=" + server(), "XDG_RUNTIME_DIR=" + directory_,
                           "PULSE_RUNTIME_PATH=" + directory_ +
                               (kind_ == ServerKind::PipeWire ? "/pulse" : "/runtime"),
                           "PULSE_STATE_PATH=" + directory_ + "/state", "HOME=" + directory_,
                           "XDG_CONFIG_HOME=" + directory_ + "/config",
                           "XDG_STATE_HOME=" + directory_ + "/state"});
    if (kind_ == ServerKind::PipeWire)
        env.push_back("DBUS_SESSION_BUS_ADDRESS=" + daemons_->busAddress());
    return env;
}

Subprocess::Options PrivatePulseServer::clientOptions() const {
    return {.environment = environment(),
            .searchPath = true,
            .logFile = directory_ + "/clients.log",
            .outputToLog = true};
}

std::optional<std::string> PrivatePulseServer::run(const std::vector<std::string>& argv) const {
    auto options = clientOptions();
    options.outputToLog = false;
    const auto text = toolOutput(argv, seconds(10), std::move(options));
    return text ? std::optional(trimmed(*text)) : std::nullopt;
}

std::optional<std::string> PrivatePulseServer::pactl(
    const std::vector<std::string>& arguments) const {
    if (!arguments.empty() && arguments.front() == "load-module")
        return loadModule({arguments.begin() + 1, arguments.end()});
    std::vector<std::string> argv = {"pactl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run(argv);
}

std::optional<std::string> PrivatePulseServer::loadModule(
    const std::vector<std::string>& words) const {
    if (words.empty())
        return std::nullopt;
    const bool emulated = kind_ == ServerKind::PipeWire &&
                          (words[0] == "module-sine-source" || words[0] == "module-sine");
    if (!emulated) {
        std::vector<std::string> argv = {"pactl", "load-module"};
        argv.insert(argv.end(), words.begin(), words.end());
        return run(argv);
    }
    auto arguments = argumentsOf(words, {{"frequency", "440"},
                                         {"rate", "48000"},
                                         {"sink", kSpeakers},
                                         {"source_name", "sine_input"},
                                         {"source_properties", ""}});
    const int frequency = std::stoi(arguments["frequency"]);
    const int rate = std::stoi(arguments["rate"]);
    if (words[0] == "module-sine") {
        if (!feedTone({"-f", "pulse", "-device", arguments["sink"], "tone"}, 48000, frequency))
            return std::nullopt;
        // Heard once its playback stream is on the sink.
        const std::string owner =
            "application.process.id = \"" + std::to_string(feeders_.back()->pid()) + "\"";
        if (!waitUntil(
                [&] {
                    return pactl({"list", "sink-inputs"}).value_or("").find(owner) !=
                           std::string::npos;
                },
                seconds(5))) {
            return std::nullopt;
        }
        return "tone-" + std::to_string(feeders_.back()->pid());
    }
    const std::string name = arguments["source_name"];
    const std::string properties = arguments["source_properties"];
    const std::string fifo = directory_ + "/" + name + ".fifo";
    std::vector<std::string> pipe = {
        "module-pipe-source", "source_name=" + name,          "file=" + fifo,
        "format=float32le",   "rate=" + std::to_string(rate), "channels=1"};
    if (!properties.empty())
        pipe.push_back("source_properties=" + properties);
    auto module = loadModule(pipe);
    if (!module || !feedTone({"-f", "f32le", "-ac", "1", fifo}, rate, frequency))
        return std::nullopt;
    // PulseAudio's sine source has audio at once: return once ours has too,
    // that is once the feeder writes into the pipe.
    const auto descriptors =
        std::filesystem::path("/proc") / std::to_string(feeders_.back()->pid()) / "fd";
    const bool feeding = waitUntil(
        [&] {
            std::error_code error;
            for (const auto& fd : std::filesystem::directory_iterator(descriptors, error))
                if (std::filesystem::read_symlink(fd, error) == fifo)
                    return true;
            return false;
        },
        seconds(5));
    if (!feeding)
        return std::nullopt;
    return module;
}

bool PrivatePulseServer::feedTone(const std::vector<std::string>& target, int rate,
                                  int frequency) const {
    // Half of full scale, as PulseAudio's own sine modules play it.
    auto argv = words("ffmpeg -nostdin -loglevel error -re -f lavfi -i sine=frequency=" +
                      std::to_string(frequency) + ":sample_rate=" + std::to_string(rate) +
                      " -af volume=4 -y");
    argv.insert(argv.end(), target.begin(), target.end());
    auto feeder = startTied(argv, clientOptions());
    if (!feeder)
        return false;
    feeders_.push_back(std::move(feeder));
    return true;
}

bool PrivatePulseServer::killSourceOutput(std::uint32_t index) const {
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "ostrovane-test-killer");
    int outcome = -1;  // -1 pending, 0 failed, 1 killed
    pa_operation* operation = nullptr;
    if (pa_context_connect(context, server().c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        waitUntil(
            [&] {
                pa_mainloop_iterate(loop, 0, nullptr);
                const pa_context_state_t state = pa_context_get_state(context);
                if (state == PA_CONTEXT_READY && !operation) {
                    operation = pa_context_kill_source_output(
                        context, index,
                        [](pa_context*, int success, void* result) {
                            *static_cast<int*>(result) = success ? 1 : 0;
                        },
                        &outcome);
                }
                return outcome >= 0 || !PA_CONTEXT_IS_GOOD(state);
            },
            seconds(5), milliseconds(1));
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

std::optional<std::uint32_t> PrivatePulseServer::recordingNamed(
    const std::string& mediaName) const {
    const auto listing = pactl({"list", "source-outputs"}).value_or("");
    const std::regex block(R"(Source Output #(\d+)[\s\S]*?media\.name = "([^"]*)\")");
    for (std::sregex_iterator it(listing.begin(), listing.end(), block), end; it != end; ++it) {
        if ((*it)[2] == mediaName)
            return static_cast<std::uint32_t>(std::stoul((*it)[1].str()));
    }
    return std::nullopt;
}

SpawnedClient PrivatePulseServer::spawn(const std::vector<std::string>& argv) const {
    return SpawnedClient(startTied(argv, clientOptions()));
}

std::optional<std::string> PrivatePulseServer::addSineSource(const std::string& name,
                                                             const std::string& description,
                                                             int rate, int frequency) const {
    return loadModule({"module-sine-source", "source_name=" + name, "rate=" + std::to_string(rate),
                       "frequency=" + std::to_string(frequency),
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
    auto module = loadModule({"module-pipe-source", "source_name=" + name, "file=" + source.fifo,
                              "format=s16le", "rate=" + std::to_string(rate),
                              "channels=" + std::to_string(channels),
                              "source_properties='device.description=\"" + description + "\"'"});
    if (!module)
        return std::nullopt;
    source.module = *module;
    return source;
}

}  // namespace ostrovane::test
