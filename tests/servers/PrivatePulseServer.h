#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrovane::test {

// A child process started with the private server's environment; killed and
// reaped when destroyed.
class SpawnedClient {
  public:
    SpawnedClient() = default;
    explicit SpawnedClient(pid_t pid) : pid_(pid) {}
    SpawnedClient(SpawnedClient&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    SpawnedClient& operator=(SpawnedClient&& other) noexcept;
    ~SpawnedClient();

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
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

struct CommandResult {
    int status = -1;  // exit status; -1 when it did not exit in time or died
    std::string output;
};

// A PulseAudio server of the test's own: its runtime, state and home in a
// fresh temporary directory, a unix socket there, a null sink as the default
// output and no other device. Clients (pactl, parec...) are run against it
// with PULSE_SERVER set for them only; the test process's environment is not
// touched. The destructor kills the server, reaps it and removes the
// directory.
class PrivatePulseServer {
  public:
    PrivatePulseServer();
    ~PrivatePulseServer();

    PrivatePulseServer(const PrivatePulseServer&) = delete;
    PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

    // Whether the server started and answers on its socket; why not otherwise.
    bool ready() const { return ready_; }
    const std::string& failure() const { return failure_; }

    // The server string for libpulse ("unix:/tmp/.../native").
    std::string server() const { return "unix:" + socket_; }
    const std::string& directory() const { return directory_; }
    static constexpr const char* kSpeakers = "ostrovane_speakers";

    // Runs a client command to its end (at most `limit`) and collects its
    // standard output.
    CommandResult run(const std::vector<std::string>& argv,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    // `pactl` with arguments; the trimmed output when it succeeded.
    std::optional<std::string> pactl(const std::vector<std::string>& arguments) const;
    // Kills another client's recording, as a competing application would
    // (pactl of this PulseAudio has no kill command).
    bool killSourceOutput(std::uint32_t index) const;
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
    pid_t launch(const std::vector<std::string>& argv, int stdoutFd) const;

    std::string directory_;
    std::string socket_;
    pid_t pid_ = -1;
    bool ready_ = false;
    std::string failure_;
};

}  // namespace ostrovane::test
