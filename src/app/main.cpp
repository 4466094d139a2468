#include <unistd.h>

#include <csignal>

#include "app/App.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/SystemClock.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/x11/WindowOwners.h"
#include "platform/x11/X11Displays.h"

int main() {
    // A parent that goes away must not kill the helper mid-write: failed
    // writes are handled where they happen.
    std::signal(SIGPIPE, SIG_IGN);

    ostrovane::dispatch::SystemClock clock;
    ostrovane::dispatch::MainQueue mainQueue(clock);
    // Audio from the sound server; displays from the X server when one can be
    // reached ($DISPLAY), otherwise display capture answers with errors.
    // Windows are named after the desktop application of their process.
    ostrovane::platform::LinuxPlatformOptions options;
    auto owners = std::make_shared<ostrovane::platform::x11::ApplicationWindowOwners>();
    ostrovane::platform::x11::X11Displays::Options screens;
    screens.owners = owners;
    options.displays = ostrovane::platform::x11::X11Displays::connect(clock, std::move(screens));
    auto platform = ostrovane::platform::makeLinuxPlatform(clock, std::move(options));
    owners->resolveWith(platform.applications);
    ostrovane::app::App app({0, 1, 2}, platform, clock, mainQueue, [](int status) {
        // Every line and frame went out through unbuffered writes, so there
        // is nothing left to flush; leave without running destructors under
        // threads that are still busy.
        ::_exit(status);
    });
    app.start();
    mainQueue.run();  // the run loop: returns only if the main queue is stopped
    return 0;
}
