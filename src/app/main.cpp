#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "app/App.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/SystemClock.h"
#include "platform/apps/AppIdOwners.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/processes/ParentWatch.h"
#include "platform/wayland/WaylandDisplays.h"
#include "platform/x11/WindowOwners.h"
#include "platform/x11/X11Displays.h"

namespace {

// The screens of the desktop session: a Wayland compositor that answers at
// $WAYLAND_DISPLAY (Xwayland is then not used), else the X server at
// $DISPLAY; none: display capture answers with errors.
std::shared_ptr<ostrovane::platform::ScreenCapture> sessionDisplays(
    ostrovane::dispatch::Clock& clock,
    const std::shared_ptr<ostrovane::platform::x11::WindowOwners>& owners) {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland != nullptr && *wayland != '\0') {
        // A toplevel names no process, only an app_id: its owner comes from
        // the desktop entries directly.
        ostrovane::platform::wayland::WaylandDisplays::Options screens;
        screens.owner = [appIds = std::make_shared<ostrovane::platform::AppIdOwners>()](
                            const std::string& appId) { return appIds->owner(appId); };
        if (auto displays =
                ostrovane::platform::wayland::WaylandDisplays::connect(clock, std::move(screens)))
            return displays;
    }
    ostrovane::platform::x11::X11Displays::Options screens;
    screens.owners = owners;
    return ostrovane::platform::x11::X11Displays::connect(clock, std::move(screens));
}

}  // namespace

int main() {
    // A parent that goes away must not kill the helper mid-write: failed
    // writes are handled where they happen.
    std::signal(SIGPIPE, SIG_IGN);

    ostrovane::dispatch::SystemClock clock;
    ostrovane::dispatch::MainQueue mainQueue(clock);
    // Audio from the sound server; displays from the session's compositor or
    // X server. Windows are named after the desktop application of their
    // process (X11) or app_id (Wayland).
    ostrovane::platform::LinuxPlatformOptions options;
    auto owners = std::make_shared<ostrovane::platform::x11::ApplicationWindowOwners>();
    options.displays = sessionDisplays(clock, owners);
    auto platform = ostrovane::platform::makeLinuxPlatform(clock, std::move(options));
    owners->resolveWith(platform.applications);
    ostrovane::app::App app({0, 1, 2}, platform, clock, mainQueue, [](int status) {
        // Every line and frame went out through unbuffered writes, so there
        // is nothing left to flush; leave without running destructors under
        // threads that are still busy.
        ::_exit(status);
    });
    app.start();
    // The pid is read once, now: a parent that ended hands the helper to
    // another process, whose pid must not be watched in its place.
    ostrovane::platform::ParentWatch parent(::getppid(), [&app] { app.parentEnded(); });
    mainQueue.run();  // the run loop: returns only if the main queue is stopped
    return 0;
}
