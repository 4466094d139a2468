#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/audio/AudioBufferList.h"
#include "platform/audio/AudioFormat.h"

namespace ostrovane::platform {

// A block of PCM audio in one AudioFormat, with room for `frameCapacity`
// frames of which the first `frameLength` are valid.
//
// Planes: an interleaved buffer has one plane holding the frames of all
// channels (channel c of frame i at index i * stride() + c); a non-interleaved
// buffer has one plane per channel (stride() == 1). The typed accessors take
// a plane index, so for an interleaved buffer only index 0 exists.
//
// All memory is allocated, zeroed, at construction; nothing allocates later.
// Planes are 16-byte aligned. Not synchronised: one thread at a time.
class PcmBuffer {
  public:
    // Throws std::bad_alloc / std::length_error when the size cannot be
    // allocated.
    PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity);

    // Nothing instead of an exception when the buffer cannot be allocated.
    static std::unique_ptr<PcmBuffer> create(const AudioFormat& format,
                                             std::uint32_t frameCapacity);

    PcmBuffer(PcmBuffer&&) noexcept = default;
    PcmBuffer& operator=(PcmBuffer&&) noexcept = default;
    PcmBuffer(const PcmBuffer&) = delete;
    PcmBuffer& operator=(const PcmBuffer&) = delete;

    const AudioFormat& format() const { return format_; }
    std::uint32_t frameCapacity() const { return frameCapacity_; }
    std::uint32_t frameLength() const { return frameLength_; }
    // Clamped to the capacity.
    void setFrameLength(std::uint32_t frames);

    std::uint32_t planeCount() const { return format_.planeCount(); }
    // Samples between two frames of one channel within a plane.
    std::uint32_t stride() const { return format_.isInterleaved() ? format_.channelCount() : 1; }

    // Typed plane pointers: null when the buffer's samples are of another type
    // or the plane does not exist.
    float* floatChannelData(std::uint32_t plane);
    const float* floatChannelData(std::uint32_t plane) const;
    double* doubleChannelData(std::uint32_t plane);
    const double* doubleChannelData(std::uint32_t plane) const;
    std::int16_t* int16ChannelData(std::uint32_t plane);
    const std::int16_t* int16ChannelData(std::uint32_t plane) const;
    std::int32_t* int32ChannelData(std::uint32_t plane);
    const std::int32_t* int32ChannelData(std::uint32_t plane) const;

    // The valid bytes (frameLength frames) of one plane; empty when the plane
    // does not exist.
    std::span<std::byte> planeBytes(std::uint32_t plane);
    std::span<const std::byte> planeBytes(std::uint32_t plane) const;
    // The whole capacity of one plane, to fill before setting frameLength.
    std::span<std::byte> planeCapacityBytes(std::uint32_t plane);

    // Every plane as a byte run of frameLength frames, for copying PCM in.
    AudioBufferList audioBufferList();

  private:
    std::byte* planeStart(std::uint32_t plane) const;

    AudioFormat format_;
    std::uint32_t frameCapacity_;
    std::uint32_t frameLength_ = 0;
    std::size_t planeStride_;  // bytes from one plane to the next, 16-byte multiple
    std::unique_ptr<std::byte[]> storage_;
};

}  // namespace ostrovane::platform
