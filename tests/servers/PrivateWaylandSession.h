#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "util/Subprocess.h"

namespace ostrovane::test {

// A headless Wayland desktop of the test's own, as a user logs into one: a
// session bus, PipeWire with its session manager (and its pulse server when
// asked), sway on a headless output drawn in software, and the desktop
// portal with its wlroots backend for screen casts, which grants every cast
// without a dialog (the first output, or the one the test picks for the
// user) and issues restore tokens.
//
// sway refuses to run as root and the portal refuses root callers, so the
// session runs as a system user of its own (created when missing), in a
// fresh directory under /tmp that holds its runtime directory, home and
// logs. Clients that talk to the portal (the helper binary) run as that user
// with environment(); the test process itself reaches the Wayland socket,
// PipeWire and the session bus directly.
//
// The session's processes share one process group; the destructor stops
// them in reverse order (SIGTERM, then SIGKILL after a bound), also those
// the bus or the compositor started, reaps them and removes the directory.
// The test process becomes a child subreaper while a session lives, so that
// the compositor's orphaned children are reaped too.
class PrivateWaylandSession {
  public:
    struct Options {
        int width = 1280;
        int height = 720;
        // The desktop portal and its backend. Without them the bus starts no
        // service on demand: the portal is missing, as where it is not
        // installed.
        bool portal = true;
        // PipeWire's pulse server, for a session with system audio.
        bool pulse = false;
    };

    // The system user the sessions run as.
    static constexpr const char* kUser = "ostrovane-wl";
    // The portal backend the sessions run, built by scripts/build-test-portal.sh.
    static constexpr const char* kPortalBackend =
        "/usr/local/lib/ostrovane-test/xdg-desktop-portal-wlr";
    static constexpr const char* kOutput = "HEADLESS-1";

    PrivateWaylandSession() : PrivateWaylandSession(Options{}) {}
    explicit PrivateWaylandSession(Options options);
    ~PrivateWaylandSession();

    PrivateWaylandSession(const PrivateWaylandSession&) = delete;
    PrivateWaylandSession& operator=(const PrivateWaylandSession&) = delete;

    // Whether every process started (each waited for within a bound) and
    // still runs; why not in `failure`.
    bool ready(std::string& failure);

    // What a client of the session needs ("NAME=value"): runtime directory,
    // Wayland display, session bus, PipeWire, the desktop's names, sway's
    // socket, home and state directories, PULSE_SERVER with the pulse server,
    // and PATH. No DISPLAY.
    std::vector<std::string> environment() const;
    uid_t uid() const { return uid_; }
    gid_t gid() const { return gid_; }
    const std::string& directory() const { return directory_; }
    std::string waylandSocketPath() const;
    std::string busAddress() const { return "unix:path=" + runtime_ + "/bus"; }

    // Runs swaymsg with `args` against this session's compositor ({"output",
    // "HEADLESS-1", "bg", "#ff8000", "solid_color"}, {"create_output"},
    // {"-t", "get_outputs", "-r"}...); whether it succeeded, and what it
    // printed in `output`.
    bool sway(const std::vector<std::string>& args, std::string* output = nullptr);
    // A terminal (app_id "foot", 320x120 in the output's top left corner)
    // that prints the time every 20 ms, so that the compositor keeps
    // producing frames; whether its window showed up (within a bound).
    bool startMovingContent();
    // The output the user picks in the portal's dialog from now on (the
    // first one until then); whether it could be told.
    bool pickOutput(const std::string& name);

    // The process owning `name` on the session bus.
    std::optional<pid_t> busNameOwner(const std::string& name) const;

    // Kill with SIGKILL, as a crash would, and wait until the process is gone.
    // The portal and its backend are found by their bus names, so that ones
    // the bus has started again since are killed too.
    void killPortalBackend();
    void killPortal();
    void killCompositor();

  private:
    struct Daemon;

    std::string pickFile() const;

    bool start(std::string& failure);
    bool createUser(std::string& failure);
    bool prepareDirectory(std::string& failure);
    Daemon* launch(const std::string& name, const std::vector<std::string>& argv,
                   const std::vector<std::string>& extraEnvironment, std::string& failure);
    // Waits until `done` holds, or `daemon` has exited, or the start bound
    // has passed.
    bool waitFor(Daemon& daemon, const std::string& what, const std::function<bool()>& done,
                 std::string& failure);
    bool managerReady();
    std::vector<std::string> daemonEnvironment() const;
    std::string logTail(const std::string& log) const;
    void killBusName(const std::string& name, const std::string& daemon);
    void stop();
    // Signals every process of this session the bus or the compositor
    // started, found by its runtime directory; those left, or none.
    std::vector<pid_t> signalStrays(int signal) const;
    // Reaps the session's orphans handed to us; whether none is left.
    bool reapOrphans();

    Options options_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    std::string directory_;
    std::string runtime_;
    std::string home_;
    std::string config_;
    std::string display_;  // "wayland-0"
    pid_t group_ = -1;
    // In start order.
    std::vector<std::unique_ptr<Daemon>> daemons_;
    std::vector<std::unique_ptr<Subprocess>> clients_;
    bool started_ = false;
    std::string failure_;
};

}  // namespace ostrovane::test
