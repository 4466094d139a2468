#pragma once

#include "dispatch/Clock.h"
#include "dispatch/SerialQueue.h"

namespace ostrovane::platform::sim {

// The threads a real platform calls back on, simulated as serial queues on
// the world's clock so that a manual clock can settle them. Shared by the
// facilities of one world; posting through a QueueRef after the world is
// gone does nothing.
struct PlatformThreads {
    explicit PlatformThreads(dispatch::Clock& c)
        : clock(c),
          hal(c, "sim.hal"),
          service(c, "sim.service"),
          capture(c, "sim.capture"),
          pipe(c, "sim.pipe"),
          encoder(c, "sim.encoder") {}

    // Stops every thread: running callbacks finish, pending ones are dropped,
    // later posts do nothing.
    void close() {
        for (auto* queue : {&hal, &service, &capture, &pipe, &encoder})
            queue->close();
    }

    dispatch::Clock& clock;
    dispatch::SerialQueue hal;      // audio hardware listeners
    dispatch::SerialQueue service;  // completions, notifications, delegates
    dispatch::SerialQueue capture;  // pacing of captured samples
    dispatch::SerialQueue pipe;     // child-process output and exits
    dispatch::SerialQueue encoder;  // encoder output
};

}  // namespace ostrovane::platform::sim
