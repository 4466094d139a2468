#include <unistd.h>

#include <csignal>

#include "app/App.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/SystemClock.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/x11/X11Displays.h"

int main() {
    // A parent that goes away must not kill the helper mid-write: failed
    // writes are handled where they happen.
    std::signal(SIGPIPE, SIG_IGN);

    ostrovane::dispatch::SystemClock clock;
    ostrovane::dispatch::MainQueue mainQueue(clock);
    // Audio from the sound server; displays from the X server when one can be
    // reached ($DISPLAY), otherwise display capture answers with errors.
    ostrovane::platform::LinuxPlatformOptions options;
    options.displays = ostrovane::platform::x11::X11Displays::connect(clock);
    auto platform = ostrovane::platform::makeLinuxPlatform(clock, std::move(options));
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
