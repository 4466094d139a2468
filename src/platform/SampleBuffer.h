#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/MediaTime.h"
#include "platform/audio/AudioBufferList.h"
#include "platform/audio/AudioFormat.h"

namespace ostrovane::platform {

// Status of a sample-buffer call: 0 is success.
using SampleBufferStatus = std::int32_t;

// Returned by copyPcm when the destination planes do not match the buffer's
// layout or are too small for the frames asked for.
inline constexpr SampleBufferStatus kSampleBufferArrayTooSmall = -12737;
// Returned by copyPcm when the range lies outside the buffer.
inline constexpr SampleBufferStatus kSampleBufferInvalidRange = -12743;

// The buffer's bytes as one contiguous run: for non-interleaved audio the
// planes follow each other, channel 0 first. A non-zero status means the
// bytes could not be reached; `bytes` is then empty.
struct DataBlock {
    SampleBufferStatus status = 0;
    std::span<const std::byte> bytes;
};

// One buffer of captured audio in the device's own format, as the capture
// service delivers it. Immutable and safe to read from any thread; it lives
// as long as someone holds it.
class SampleBuffer {
  public:
    virtual ~SampleBuffer() = default;

    // Nothing when the service could not describe the format of this buffer.
    virtual std::optional<StreamDescription> streamDescription() const = 0;

    virtual std::int64_t frameCount() const = 0;

    virtual MediaTime presentationTime() const = 0;

    // Copies `frames` frames starting at `startFrame` into `destination`,
    // byte for byte (no conversion). The destination needs the buffer's plane
    // count and room for the frames in each plane.
    virtual SampleBufferStatus copyPcm(std::int64_t startFrame, std::int64_t frames,
                                       AudioBufferList& destination) const = 0;

    // Nothing when the buffer carries no data block at all.
    virtual std::optional<DataBlock> dataBlock() const = 0;
};

}  // namespace ostrovane::platform
