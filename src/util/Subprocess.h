#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "util/UniqueFd.h"

namespace ostrovane {

// A child process on three pipes: we write its standard input and read its
// standard output and standard error. The pipe ends are ours to read and
// close; the destructor kills and reaps a child that is still running, so a
// child never outlives its owner.
class Subprocess {
  public:
    struct Options {
        // Close the read end of the child's standard output at once, as a
        // parent that has gone away would.
        bool discardOutput = false;
        // The child's whole environment; ours when empty.
        std::vector<std::string> environment{};
        // Look `argv[0]` up on PATH instead of taking it as a path.
        bool searchPath = false;
        // Append the child's standard error (and its standard output too when
        // `outputToLog`) to this file instead of a pipe.
        std::string logFile{};
        bool outputToLog = false;
        // -1: stay in our process group; 0: lead a new one, so that the
        // child and everything it starts can be signalled at once; >0: join
        // that group.
        pid_t processGroup = -1;
        // Run the child as this user, with `group` (the user's own group when
        // empty) and no supplementary groups; we must be allowed to switch
        // (root). Our user when empty.
        std::optional<uid_t> user{};
        std::optional<gid_t> group{};
    };

    // Starts `argv[0]` (a path) with `argv`. Throws std::runtime_error when it
    // cannot be started, also when it cannot take on `Options::user`.
    explicit Subprocess(const std::vector<std::string>& argv, Options options);
    explicit Subprocess(const std::vector<std::string>& argv) : Subprocess(argv, Options{}) {}
    ~Subprocess();

    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    pid_t pid() const { return pid_; }

    // Our ends of the child's channels.
    int input() const { return input_.get(); }
    UniqueFd takeOutput() { return std::move(output_); }
    UniqueFd takeErrors() { return std::move(errors_); }

    // Writes all of `bytes` to the child's standard input.
    bool write(std::string_view bytes);
    void closeInput() { input_.reset(); }

    // Exit status once the child has exited normally; nothing while it runs
    // (after `limit`) or when a signal ended it.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);
    bool isRunning();
    // Sends `signal` if the child still runs.
    void kill(int signal);

  private:
    void spawnAsUs(const std::vector<std::string>& args, std::vector<char*>& pointers,
                   char* const* envp, const Options& options, int in, int out, int err);
    bool reap(bool block);

    pid_t pid_ = -1;
    bool reaped_ = false;
    std::optional<int> status_;
    UniqueFd input_;
    UniqueFd output_;
    UniqueFd errors_;
};

}  // namespace ostrovane
