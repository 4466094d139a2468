#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "util/Subprocess.h"

namespace ostrovane::test {

// A child process started with the private server's environment; killed and
// reaped when destroyed.
class SpawnedClient {
  public:
    SpawnedClient() = default;
    explicit SpawnedClient(std::unique_ptr<Subprocess> process) : process_(std::move(process)) {}

    pid_t pid() const { return process_ ? process_->pid() : -1; }
    bool running() const { return process_ != nullptr; }

  private:
    std::unique_ptr<Subprocess> process_;
};

// A source fed through a FIFO with interleaved signed 16-bit samples: the
// test (or a benchmark) writes exactly what the source records.
struct PipeSource {
    std::string module;
    std::string name;
    std::string fifo;
    int channels = 1;
    int rate = 48000;
};

// The sound servers that speak the PulseAudio protocol on a Linux desktop.
enum class ServerKind { PulseAudio, PipeWire };

// The server the tests of this process run against: PipeWire's pulse server
// when OSTROVANE_SOUND_SERVER is "pipewire", PulseAudio otherwise.
ServerKind selectedServerKind();

class ServerDaemons;

// A sound server of the test's own that clients reach over the PulseAudio
// protocol: its runtime, state and home in a fresh temporary directory, a
// unix socket there, a null sink as the default output and no other device.
// Clients (pactl, parec...) are run against it with PULSE_SERVER set for them
// only; the test process's environment is not touched. The destructor kills
// every process of the server, reaps them and removes the directory.
//
// module-sine-source and module-sine are PulseAudio's own; on PipeWire the
// same devices are made of a pipe source fed with a tone, and of a client
// playing a tone into the sink.
class PrivatePulseServer {
  public:
    explicit PrivatePulseServer(ServerKind kind = selectedServerKind());
    ~PrivatePulseServer();

    PrivatePulseServer(const PrivatePulseServer&) = delete;
    PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

    ServerKind kind() const { return kind_; }
    // Whether the server started and answers on its socket; why not otherwise.
    bool ready() const { return ready_; }
    const std::string& failure() const { return failure_; }

    // The server string for libpulse ("unix:/tmp/.../native").
    std::string server() const { return "unix:" + socket_; }
    const std::string& directory() const { return directory_; }
    static constexpr const char* kSpeakers = "ostrovane_speakers";

    // Runs a client command to its end (at most 10 s): its standard output,
    // trimmed, when it succeeded.
    std::optional<std::string> run(const std::vector<std::string>& argv) const;
    // `pactl` with arguments; the trimmed output when it succeeded. A
    // `load-module` goes through loadModule.
    std::optional<std::string> pactl(const std::vector<std::string>& arguments) const;
    // Loads a module given as "name argument=value..."; its index.
    std::optional<std::string> loadModule(const std::vector<std::string>& words) const;
    // Kills another client's recording, as a competing application would
    // (pactl of this PulseAudio has no kill command).
    bool killSourceOutput(std::uint32_t index) const;
    // The index of the recording (source-output) whose client named it
    // `mediaName`.
    std::optional<std::uint32_t> recordingNamed(const std::string& mediaName) const;
    // A long-running client (parec, paplay...).
    SpawnedClient spawn(const std::vector<std::string>& argv) const;

    // Loads a sine source (a scripted microphone) and returns its module index.
    std::optional<std::string> addSineSource(const std::string& name,
                                             const std::string& description, int rate = 48000,
                                             int frequency = 440) const;

    // A source fed by the test through a FIFO (see PipeSource).
    std::optional<PipeSource> addPipeSource(const std::string& name, const std::string& description,
                                            int channels = 1, int rate = 48000) const;

    // Kills the server as a crash would (clients see the connection drop) ...
    void kill();
    // ... and starts a fresh one on the same socket, with the same default
    // sink and the given modules ("module-sine-source source_name=mic"...),
    // nothing else loaded since. Also kills a running server first.
    bool restart(const std::vector<std::string>& modules = {});

    // The variables a client needs to reach this server and nothing else.
    std::vector<std::string> environment() const;

  private:
    bool startServer(const std::vector<std::string>& modules = {});
    // How clients are started: with environment(), their output in clients.log.
    Subprocess::Options clientOptions() const;
    // A tone written by ffmpeg into `target` ("-f pulse -device sink" or a
    // FIFO), kept running while the server lives.
    bool feedTone(const std::vector<std::string>& target, int rate, int frequency) const;

    ServerKind kind_;
    std::string directory_;
    std::string socket_;
    std::unique_ptr<ServerDaemons> daemons_;
    // Tone feeders of emulated sine devices; they end with their device.
    mutable std::vector<std::unique_ptr<Subprocess>> feeders_;
    bool ready_ = false;
    std::string failure_;
};

}  // namespace ostrovane::test
