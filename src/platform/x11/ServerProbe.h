#pragma once

#include <chrono>
#include <string>

#include "util/UniqueFd.h"

namespace ostrovane::platform::x11 {

// Whether the X server of a local display answers, found out with a
// deadline before xcb connects: xcb's own connect waits for the server's
// set-up reply for as long as the server takes, and a stopped server (a
// debugger, a suspended VM, a busy compositor) would hold up whoever
// connects.
enum class ServerState {
    answers,    // it replied to a set-up request in time
    silent,     // it accepts connections but did not reply in time
    absent,     // nothing listens there
    notProbed,  // not a local display (a TCP one): xcb alone decides
};

struct ServerProbe {
    ServerState state = ServerState::notProbed;
    // The probe's own connection, to be kept until the real one is made: a
    // server without -noreset resets when its last client leaves, and
    // would drop a connection made meanwhile.
    UniqueFd connection;
};

// `displayName` as in $DISPLAY (":1", ":1.0", "unix:1"); empty: $DISPLAY.
ServerProbe probeServer(const std::string& displayName, std::chrono::milliseconds limit);

}  // namespace ostrovane::platform::x11
