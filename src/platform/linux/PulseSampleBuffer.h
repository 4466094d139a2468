#pragma once

#include <cstddef>
#include <vector>

#include "platform/SampleBuffer.h"

namespace ostrovane::platform::pulse {

// One fragment of a record stream: interleaved PCM in the stream's format,
// copied out of the server's memory block so that it can be passed around.
class PulseSampleBuffer final : public SampleBuffer {
  public:
    PulseSampleBuffer(StreamDescription format, std::vector<std::byte> bytes,
                      MediaTime presentationTime);

    std::optional<StreamDescription> streamDescription() const override { return format_; }
    std::int64_t frameCount() const override { return frames_; }
    MediaTime presentationTime() const override { return presentationTime_; }
    SampleBufferStatus copyPcm(std::int64_t startFrame, std::int64_t frames,
                               AudioBufferList& destination) const override;
    std::optional<DataBlock> dataBlock() const override;

  private:
    StreamDescription format_;
    std::vector<std::byte> bytes_;
    std::int64_t frames_;
    MediaTime presentationTime_;
};

}  // namespace ostrovane::platform::pulse
