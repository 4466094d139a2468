#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "servers/SessionProcesses.h"
#include "util/Subprocess.h"

namespace ostrovane::test {

// A headless Wayland desktop of the test's own, as a user logs into one: a
// session bus, PipeWire with its session manager (and its pulse server when
// asked), sway on a 1280x720 headless output drawn in software, and the
// desktop portal with its wlroots backend for screen casts, which grants
// every cast without a dialog (the first output, or the one the test picks
// for the user) and issues restore tokens.
//
// sway refuses to run as root and the portal refuses root callers, so the
// session runs as a system user of its own (created when missing), in a
// fresh directory under /tmp that holds its runtime directory, home and
// logs. Clients that talk to the portal (the helper binary) run as that user
// with environment(); the test process itself reaches the compositor and the
// session bus directly.
//
// The destructor stops every process of the session, also those the bus or
// the compositor started, reaps them and removes the directory. The test
// process is a child subreaper while the session lives, so that orphans of
// the session are handed to it. Sessions do not overlap within a process.
class PrivateWaylandSession : public SessionBase {
  public:
    struct Options {
        // The desktop portal and its backend. Without them the bus starts no
        // service on demand: the portal is missing, as where it is not
        // installed.
        bool portal = true;
        // PipeWire's pulse server, for a session with system audio.
        bool pulse = false;
    };

    // The system user the sessions run as.
    static constexpr const char* kUser = kSessionUser;
    static constexpr const char* kOutput = "HEADLESS-1";

    PrivateWaylandSession() : PrivateWaylandSession(Options{}) {}
    explicit PrivateWaylandSession(Options options);
    ~PrivateWaylandSession();

    // Whether every process started (each waited for within a bound) and
    // still runs; why not in `failure`.
    bool ready(std::string& failure);

    // What a client of the session needs ("NAME=value"): runtime directory,
    // Wayland display, session bus, PipeWire, the desktop's names, sway's
    // socket, home and state directories, PULSE_SERVER with the pulse server,
    // PATH and the sanitizers' settings. No DISPLAY.
    std::vector<std::string> environment() const;

    // Runs swaymsg with `args` against this session's compositor ({"output",
    // "HEADLESS-1", "bg", "#ff8000", "solid_color"}, {"create_output"},
    // {"-t", "get_outputs", "-r"}...); whether it succeeded, and what it
    // printed in `output`.
    bool sway(const std::vector<std::string>& args, std::string* output = nullptr);
    // A terminal (app_id "foot", 320x120 in the output's top left corner)
    // that prints the time every 20 ms, so that the compositor keeps
    // producing frames; whether its window showed up (within a bound).
    bool startMovingContent();
    // A terminal window (app_id "foot") titled `title`, running `command`;
    // whether it showed up (within a bound). Titles are matched as sway
    // criteria: keep them to letters, digits and dashes.
    bool openTerminal(const std::string& title,
                      const std::vector<std::string>& command = {"sleep", "infinity"});
    // Closes the window titled `title` as its close button would; whether
    // it is gone (within a bound).
    bool closeWindow(const std::string& title);
    // The output the user picks in the portal's dialog from now on (the
    // first one until then); whether it could be told.
    bool pickOutput(const std::string& name);

    // Kill with SIGKILL, as a crash would, and wait until the process is gone.
    // The backend is found by its bus name too, so that one the bus has
    // started again since is killed as well.
    void killPortalBackend();
    void killCompositor();

  private:
    bool start();
    // Starts `argv` as the session's user; with `done`, waits until it holds.
    bool startDaemon(const std::string& name, const std::vector<std::string>& argv,
                     const std::string& what = {}, const std::function<bool()>& done = {});
    std::unique_ptr<Subprocess> launch(const std::string& log,
                                       const std::vector<std::string>& argv);
    // Waits until `done` holds, or daemon `name` has exited, or a bound has passed.
    bool waitFor(const std::string& name, const std::string& what,
                 const std::function<bool()>& done);
    Subprocess& daemon(const std::string& name);
    // Waits until a window titled `title` is in sway's tree (or, not `shown`, is gone).
    bool waitForWindow(const std::string& title, bool shown, std::chrono::seconds limit);
    // Runs `argv` as the test's user to its end (within a bound); whether it
    // succeeded, and its output.
    bool run(const std::vector<std::string>& argv, std::string* output = nullptr) const;
    void stop();

    Options options_;
    pid_t group_ = -1;
    std::vector<std::pair<std::string, std::unique_ptr<Subprocess>>> daemons_;
    std::vector<std::unique_ptr<Subprocess>> clients_;
};

}  // namespace ostrovane::test
