#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "protocol/AudioProtocol.h"

namespace ostrovane::protocol {

// The level field of an audio header: `rms` scaled to 0..65535 and truncated.
// Negative values give 0; 1.0 and above, and NaN, give 65535.
std::uint16_t levelFromRms(double rms) noexcept;

// RMS of signed 16-bit little-endian samples, full scale ≈ 1.0. The divisor is
// 32767 for both signs, so -32768 samples read slightly above 1.0. A trailing
// odd byte is ignored; a buffer without a whole sample gives 0.
double calculateRMSInt16(std::span<const std::uint8_t> data) noexcept;

// Header and payload of one frame in a single buffer, allocated once. The
// payload must fit the 32-bit length field (std::length_error otherwise).
std::vector<std::uint8_t> encodeAudioFrame(AudioProtocol::FrameType type, std::uint16_t sampleRate,
                                           std::uint8_t channels, std::uint8_t bitsPerSample,
                                           double rms, std::span<const std::uint8_t> pcmData,
                                           std::uint32_t sequence);
std::vector<std::uint8_t> encodeVideoFrame(std::uint16_t width, std::uint16_t height,
                                           std::uint8_t fps, bool isKeyframe, std::uint64_t pts,
                                           std::span<const std::uint8_t> nalData,
                                           std::uint32_t sequence);

// Writes binary frames to one output descriptor. Any thread may call the
// writers at any time: each frame is encoded outside the lock and then handed
// over in one complete write under `stdoutLock_`, so frames from different
// threads interleave only at frame boundaries.
//
// The writers never throw and report nothing to their callers. The first
// write that fails for good (EPIPE when the reader has gone, EBADF, ...) calls
// `onWriteFailure` once, from the writing thread and outside the lock; every
// later frame is dropped, because the stream can no longer be parsed.
class FrameWriter {
  public:
    explicit FrameWriter(int fd, std::function<void(int errnoValue)> onWriteFailure = {});

    FrameWriter(const FrameWriter&) = delete;
    FrameWriter& operator=(const FrameWriter&) = delete;

    void writeBinaryFrame(AudioProtocol::FrameType type, std::uint16_t sampleRate,
                          std::uint8_t channels, std::uint8_t bitsPerSample, double rms,
                          std::span<const std::uint8_t> pcmData, std::uint32_t sequence) noexcept;

    void writeVideoFrame(std::uint16_t width, std::uint16_t height, std::uint8_t fps,
                         bool isKeyframe, std::uint64_t pts, std::span<const std::uint8_t> nalData,
                         std::uint32_t sequence) noexcept;

    // True once a write has failed and frames are being dropped.
    bool hasFailed() const noexcept { return writeFailed_.load(std::memory_order_acquire); }

  private:
    void writeFrame(std::span<const std::uint8_t> frame) noexcept;

    const int fd_;
    const std::function<void(int)> onWriteFailure_;
    std::mutex stdoutLock_;  // held for exactly one complete frame write
    // Set only under stdoutLock_; read without it to skip encoding dead frames.
    std::atomic<bool> writeFailed_{false};
};

}  // namespace ostrovane::protocol
