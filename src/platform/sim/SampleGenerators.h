#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/SampleBuffer.h"

namespace ostrovane::platform::sim {

// One buffer's worth of capture: what the device delivers and when.
struct BufferSlot {
    StreamDescription layout;  // the bytes' real layout
    bool described = true;     // false: the buffer carries no description
    std::int64_t frames = 0;
    std::int64_t index = 0;  // slots since the capture started
    MediaTime presentationTime;
};

// Makes the buffer of a slot, or nothing for a slot in which the device
// delivers nothing (a stall). Called on the simulated capture thread.
using SampleGenerator = std::function<std::shared_ptr<const SampleBuffer>(const BufferSlot&)>;

namespace generators {

// A sine on every channel, continuous across buffers.
SampleGenerator tone(double frequencyHz, double amplitude);
// Every sample equal to `value` (0 is digital silence).
SampleGenerator constant(double value);
SampleGenerator silence();
// Delivers nothing at all.
SampleGenerator stall();
// `first` for the first `slots` slots, then `then`.
SampleGenerator sequence(SampleGenerator first, std::int64_t slots, SampleGenerator then);

}  // namespace generators

}  // namespace ostrovane::platform::sim
