#pragma once

#include <pulse/sample.h>

#include <optional>

#include "platform/audio/AudioFormat.h"

namespace ostrovane::platform::pulse {

// The spec a record stream on a source of `native` spec asks for: the source's
// own rate, channels and sample type, in little-endian. Sample types the core
// cannot process (8-bit, 24-bit, A-law...) are asked for as 32-bit float, so
// the server converts them once instead of the core refusing the device.
pa_sample_spec recordSpecFor(const pa_sample_spec& native);

// What a buffer of interleaved PCM in `spec` looks like to the core; nothing
// for specs recordSpecFor never produces.
std::optional<StreamDescription> describe(const pa_sample_spec& spec);

// The inverse, for the formats `describe` produces.
std::optional<pa_sample_spec> sampleSpecFor(const StreamDescription& description);

}  // namespace ostrovane::platform::pulse
