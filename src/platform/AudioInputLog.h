#pragma once

#include <string>
#include <vector>

#include "platform/ChildProcess.h"

namespace ostrovane::platform {

// How this system tells which processes start and stop running audio input:
// a child process whose standard output logs each change as one line, and
// the process names of the audio system's own daemons (sound servers,
// session managers), which the core adds to its fixed list of processes
// that never count as applications using the microphone.
struct AudioInputLog {
    ChildProcessSpec command;
    std::vector<std::string> daemonNames;
};

}  // namespace ostrovane::platform
