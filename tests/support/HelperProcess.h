#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/LineCollector.h"
#include "util/Subprocess.h"

namespace ostrovane::test {

// The helper binary running as a child on three pipes, as a parent application
// runs it. Its standard error is collected line by line and its standard
// output byte by byte, each on a thread of its own; tests wait with time
// limits and never hang. The destructor kills a child that is still running.
class HelperProcess {
  public:
    enum class Output { collect, closed };
    // Who runs the helper, and with what: a desktop session's user and
    // environment, for example. Our own when left empty.
    struct Context {
        // The child's whole environment ("NAME=value").
        std::vector<std::string> environment{};
        std::optional<uid_t> user{};
        // The user's own group when empty.
        std::optional<gid_t> group{};
        // Run in place of the binary, which it is given as "$0": a shell
        // that starts the helper as its own child, for instance.
        std::vector<std::string> wrapper{};
    };

    // With Output::closed the read end of standard output is closed at once,
    // as when the parent has gone away.
    explicit HelperProcess(const std::string& binary, Output output = Output::collect)
        : HelperProcess(binary, Context{}, output) {}
    HelperProcess(const std::string& binary, const Context& context,
                  Output output = Output::collect);
    ~HelperProcess();

    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    pid_t pid() const { return process_.pid(); }
    LineCollector& errors() { return *errors_; }

    // Writes raw bytes, or a line plus "\n", to the child's standard input.
    bool write(const std::string& bytes) { return process_.write(bytes); }
    bool sendLine(const std::string& line) { return write(line + "\n"); }
    void closeInput() { process_.closeInput(); }

    std::vector<std::uint8_t> outputBytes() const;
    // While held, standard output is not read: the pipe fills and the
    // helper's writes block, as with a parent that stopped reading.
    void holdOutput(bool hold);

    // The exit status once the child has exited normally; nothing if it is
    // still running after `limit` or died by a signal.
    std::optional<int> waitForExit(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return process_.waitForExit(limit);
    }
    bool isRunning() { return process_.isRunning(); }

  private:
    Subprocess process_;
    std::unique_ptr<LineCollector> errors_;
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> _output;
    std::condition_variable released_;
    bool _held = false;
    std::thread outputThread_;
};

}  // namespace ostrovane::test
