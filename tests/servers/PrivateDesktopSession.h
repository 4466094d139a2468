#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "servers/SessionProcesses.h"
#include "util/Subprocess.h"

namespace ostrovane::test {

// A headless GNOME or KDE Plasma desktop of the test's own, as a user logs
// into one: a session bus, PipeWire with its session manager, gnome-shell or
// kwin_wayland on virtual 1280x720 monitors drawn in software, the desktop
// portal with the desktop's own backend, and a scripted user who answers the
// portal's dialog with the desktop's keyboard and pointer
// (tests/desktops/<desktop>/session.sh starts them). A GNOME monitor shows
// the background #336699 and the top bar's clock ticking every second; a KDE
// one shows KWin's black desktop.
//
// It runs as the Wayland tests' system user in a fresh directory under /tmp;
// the helper runs as that user with environment(). The destructor ends
// every process of the session by pid, those the bus started and what the
// document portal mounted included, and removes the directory. The test
// process is a child subreaper while the session lives.
class PrivateDesktopSession : public SessionBase {
  public:
    enum class Desktop { gnome, kde };
    struct Options {
        int monitors = 1;
        // KWin's virtual outputs feed casts only through the test library
        // that announces their frames; without it a cast negotiates and then
        // never gets a buffer (KDE only).
        bool castShim = true;
    };

    PrivateDesktopSession(Desktop desktop, Options options);
    ~PrivateDesktopSession();

    // Whether everything started and still runs; why not in `failure`.
    bool ready(std::string& failure);
    std::vector<std::string> environment() const;
    Desktop desktop() const { return desktop_; }
    const Options& options() const { return options_; }

    // How the user answers the portal's dialogs from now on: share monitor
    // `index` (in the compositor's order), the whole workspace (KDE with
    // several monitors), window `index` (in the dialog's order), or cancel.
    bool shareMonitor(int index);
    bool shareWorkspace();
    bool shareWindow(int index);
    bool deny();
    // How many dialogs the portal has shown so far.
    std::size_t dialogsShown() const;
    // The end of the log of `name` ("user", "portal-backend", "compositor"...).
    std::string logTail(const std::string& name) const;

    // A window of `colour` ("33cc33") with a block moving along its bottom:
    // full-screen on the first monitor, or a 640x360 one titled `title`.
    // Whether it could be started; it stays until closeWindows().
    bool showWindow(const std::string& colour, bool windowed = false,
                    const std::string& title = "ostrovane-colour");
    void closeWindows();

    // Ends every share as the desktop's own control does: GNOME's top-bar
    // "stop sharing" button, the "End" entry of KDE's tray item.
    bool stopSharing();
    // SIGKILL, as a crash would, and wait until the process is gone; the bus
    // may start the backend again on demand.
    void killPortalBackend();
    void killCompositor();
    // The session's processes as they are now.
    std::vector<ProcessIdentity> processes() const;

  private:
    bool start();
    bool answer(const std::string& line);
    pid_t pidOf(const std::string& name) const;
    void kill(const std::string& name, const std::string& busName = {});
    bool runAsUser(const std::vector<std::string>& argv, std::string* output = nullptr) const;

    Desktop desktop_;
    Options options_;
    std::unique_ptr<Subprocess> script_;
    std::vector<std::unique_ptr<Subprocess>> windows_;
    std::size_t shown_ = 0;  // windows that have painted themselves, ever
};

}  // namespace ostrovane::test
