#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/dbus/SdBus.h"
#include "util/Subprocess.h"
#include "util/UniqueFd.h"

namespace ostrovane::test {

// A message bus of the test's own standing in for the system bus (or for a
// private sound server's session bus): a `dbus-daemon` on a unix socket in a
// fresh temporary directory, with a policy that lets every client own any
// name and send anything, and no services it would start on demand. Clients are
// handed its address; the test process's environment is not touched. The
// destructor stops and reaps the daemon and removes the directory.
class PrivateSystemBus {
  public:
    PrivateSystemBus();
    ~PrivateSystemBus();

    PrivateSystemBus(const PrivateSystemBus&) = delete;
    PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

    // Whether the daemon started and announced its address; why not otherwise.
    bool ready() const { return ready_; }
    const std::string& failure() const { return failure_; }

    // The address for clients ("unix:path=/tmp/.../bus"); the same across
    // restarts.
    std::string address() const { return "unix:path=" + socket_; }

    // Kills the daemon (clients see their connections drop) ...
    void kill();
    // ... and starts a fresh one on the same socket.
    bool restart();

  private:
    bool start();

    std::string directory_;
    std::string socket_;
    std::unique_ptr<Subprocess> daemon_;
    bool ready_ = false;
    std::string failure_;
};

// A client of a bus, driven synchronously from the calling thread; every
// call waits at most a few seconds.
class BusClient {
  public:
    explicit BusClient(const std::string& address);

    bool connected() const { return bus_ != nullptr; }
    std::string uniqueName() const;
    // Takes a well-known name (the primary owner, not queued).
    bool own(const std::string& name);
    // The unique names of every other client on the bus.
    std::vector<std::string> otherClients();
    // Calls org.freedesktop.DBus.Peer.Ping on another client and waits for
    // the answer: by then that client has read everything we sent it before.
    bool ping(const std::string& destination);
    // logind's PrepareForSleep(sleeping), broadcast, or sent to `destination`
    // when one is given.
    bool emitPrepareForSleep(bool sleeping, const std::string& destination = {});

  private:
    platform::dbus::BusPtr bus_;
};

}  // namespace ostrovane::test
