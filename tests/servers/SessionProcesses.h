#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace ostrovane::test {

// A process told apart from a later one that reuses its pid: by its start
// time (field 22 of /proc/PID/stat, in clock ticks since boot).
struct ProcessIdentity {
    pid_t pid = 0;
    unsigned long long started = 0;
    // Whether that very process still runs (a zombie does not).
    bool running() const;
    bool operator==(const ProcessIdentity&) const = default;
};

// Process `pid` as it is now; nothing when there is none.
std::optional<ProcessIdentity> identityOf(pid_t pid);

// The processes of a private desktop session: those in its process group
// `group`, and those whose environment names its runtime directory, whoever
// they run as (the document portal's fusermount3 runs as root). Not the test
// process, nor what runs in its process group (the helper): their owners end
// those.
class SessionProcesses {
  public:
    SessionProcesses(const std::string& runtime, pid_t group);

    std::vector<ProcessIdentity> list() const;
    // Signals every running one, and those seen before that still run, with
    // `signal` (0: none) and, with `reap`, reaps the zombies handed to us; how
    // many are left (the group's leader is the fixture's Subprocess, which
    // reaps it).
    int sweep(int signal, bool reap);
    // SIGTERM, then SIGKILL to those left after 3 s; reaps; and unmounts
    // what is left mounted below `directory`.
    void end(const std::string& directory);

  private:
    std::string marker_;
    pid_t group_;
    std::vector<ProcessIdentity> seen_;
};

// A session's fresh directory /tmp/`prefix`.XXXXXX, with its runtime
// directory `run` in it, and the session user's ids (the user is created,
// as root, when missing); the first failure in `failure_`. The test process
// is a child subreaper while it lives, so that what a killed compositor or
// bus started comes to it to reap; the directory goes with it.
class SessionBase {
  public:
    SessionBase(const SessionBase&) = delete;
    SessionBase& operator=(const SessionBase&) = delete;

    uid_t uid() const { return uid_; }
    gid_t gid() const { return gid_; }
    const std::string& directory() const { return directory_; }
    // Where the helper keeps its restore tokens in this session.
    std::string tokenFile() const {
        return directory_ + "/home/.local/state/ostrovane/portal-tokens";
    }

  protected:
    explicit SessionBase(const std::string& prefix);
    ~SessionBase();
    // The pid of what owns bus name `name` on the session's bus, asked as
    // the session's user; 0 if nothing.
    pid_t busOwner(const std::string& name) const;

    uid_t uid_ = 0;
    gid_t gid_ = 0;
    std::string directory_;
    std::string runtime_;
    std::string failure_;
};

// Detaches whatever is still mounted below `directory` (the document
// portal's FUSE file system, when its server was killed), so that the
// directory can be removed.
void unmountBelow(const std::string& directory);

// What the sessions of the Wayland and desktop tests share: their user, the
// end of a log for a failure, a short command, the variables they hand down.
inline constexpr const char* kSessionUser = "ostrovane-wl";
std::string logTail(const std::string& path);
// Runs `argv` for at most 5 s, its output in `log` and then `*output`; as
// the session's user when `user` is set.
bool runCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                const std::string& log, std::string* output,
                std::optional<uid_t> user = std::nullopt,
                std::optional<gid_t> group = std::nullopt);
// `env` with those of `names` that are set here (PATH and the sanitizers'
// settings always).
void handDown(std::vector<std::string>& env, std::initializer_list<const char*> names = {});

}  // namespace ostrovane::test
