#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "dispatch/Clock.h"
#include "platform/Platform.h"
#include "platform/apps/LinuxApplications.h"

namespace ostrovane::platform {

struct LinuxPlatformOptions {
    // The sound server to use; empty: the usual lookup (PULSE_SERVER, then the
    // user's runtime directory). A server is never spawned.
    std::string pulseServer;
    // Bound of every wait on the sound server.
    std::chrono::milliseconds timeout{5000};
    // Displays, windows, screen streams and screenshots (the X11 provider);
    // none: display capture fails with an error and the screen list is empty.
    std::shared_ptr<ScreenCapture> displays;
    // The message bus on which logind announces sleep and wake; empty: the
    // system bus (DBUS_SYSTEM_BUS_ADDRESS, then the standard socket).
    std::string systemBus;
    // The audio-log reader the microphone-app detector follows; empty:
    // "ostrovane-audio-log" in the directory of our own executable.
    std::string audioLogExecutable;
    // Where processes and desktop entries are read.
    ApplicationSources applicationSources;
};

// The sound server's own processes, which run audio input for others.
inline const std::vector<std::string>& soundServerDaemons() {
    static const std::vector<std::string> names{"pulseaudio", "pipewire", "wireplumber",
                                                "pipewire-media-session"};
    return names;
}

// The real provider on a Linux desktop: microphones, system audio and the
// audio hardware model from PulseAudio or PipeWire's pulse server. Waits at
// most the timeout for the sound server; without one every facility answers
// honestly (no devices, failed reads, errors) and the provider keeps trying
// to connect in the background. The clock must outlive the platform.
//
// Applications are processes from /proc and wake from sleep from logind on
// the system bus; without a bus there are simply no wake notifications.
// Child processes are spawned with a pipe on their output; the audio-input
// log is `ostrovane-audio-log` on the same sound server. Facilities not
// provided here (video encoders, the offline engine) are left empty for their
// own providers.
Platform makeLinuxPlatform(dispatch::Clock& clock, LinuxPlatformOptions options = {});

}  // namespace ostrovane::platform
