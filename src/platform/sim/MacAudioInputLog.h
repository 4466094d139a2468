#pragma once

#include "platform/AudioInputLog.h"

namespace ostrovane::platform::sim {

// The audio-input log the simulated machine offers: macOS's unified log
// followed live, filtered to the audio server's lines that carry one
// process's input-running state, as a macOS provider would start it. The
// audio server and its helpers are already on the core's daemon list.
inline AudioInputLog macAudioInputLog() {
    return AudioInputLog{
        ChildProcessSpec{"/usr/bin/log",
                         {"stream", "--predicate",
                          "(subsystem == 'com.apple.coreaudio' AND category == 'as_server' AND "
                          "composedMessage CONTAINS 'input_running')",
                          "--style", "compact"}},
        {}};
}

}  // namespace ostrovane::platform::sim
