#pragma once

#include "platform/AudioInputLog.h"

namespace ostrovane::platform::macos {

// The unified log followed live, filtered to the audio server's lines that
// carry one process's input-running state. The audio server and its helpers
// are already on the core's daemon list.
inline AudioInputLog macAudioInputLog() {
    return AudioInputLog{
        ChildProcessSpec{"/usr/bin/log",
                         {"stream", "--predicate",
                          "(subsystem == 'com.apple.coreaudio' AND category == 'as_server' AND "
                          "composedMessage CONTAINS 'input_running')",
                          "--style", "compact"}},
        {}};
}

}  // namespace ostrovane::platform::macos
