#pragma once

#include <cstdint>

namespace ostrovane::streaming {

// The one format all audio leaves the helper in: interleaved signed 16-bit
// little-endian stereo at 48 kHz, cut into 20 ms frames.
struct AudioOutputFormat {
    static constexpr std::int64_t sampleRate = 48000;
    static constexpr std::int64_t channels = 2;
    static constexpr std::int64_t bitsPerSample = 16;
    static constexpr std::int64_t frameSize = 3840;
    static constexpr double frameDuration = 0.02;
    static constexpr std::uint64_t frameDurationNanos = 20'000'000;
    static constexpr std::int64_t bytesPerSampleFrame = channels * bitsPerSample / 8;

    static_assert(frameSize ==
                  sampleRate * frameDurationNanos / 1'000'000'000 * bytesPerSampleFrame);
};

}  // namespace ostrovane::streaming
