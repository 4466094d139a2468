#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ostrovane::platform {

// One run of PCM bytes: a plane of a PCM buffer. `numberChannels` is the
// channel count interleaved in it (all channels for an interleaved buffer,
// 1 for each plane of a non-interleaved one).
struct AudioBuffer {
    std::uint32_t numberChannels = 0;
    std::span<std::byte> data;
};

// The planes of a PCM buffer as writable byte runs, in plane order. It is a
// view: the buffer it came from owns the bytes and must outlive it. Capture
// layers copy a sample buffer's PCM into one.
struct AudioBufferList {
    std::vector<AudioBuffer> buffers;
};

}  // namespace ostrovane::platform
