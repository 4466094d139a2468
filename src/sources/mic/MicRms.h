#pragma once

#include "platform/audio/PcmBuffer.h"

namespace ostrovane::sources::mic {

// Root mean square of every valid sample of every channel, on the full-scale
// range 0..1 (integers divided by 2^15 or 2^31). Interleaved and planar
// buffers of the same signal give the same value. 0 for an empty buffer.
double rmsOf(const platform::PcmBuffer& buffer);

}  // namespace ostrovane::sources::mic
