#pragma once

#include <cstddef>
#include <memory>
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

// Cuts what a record stream peeks into timed buffers. A hole (the server lost
// audio) and audio the stream must not pass on give no buffer but keep the
// timeline: the next buffer's time counts their frames, so the gap stays a gap.
class FragmentTimeline {
  public:
    FragmentTimeline(StreamDescription format, std::size_t frameBytes)
        : format_(format), frameBytes_(frameBytes) {}

    // `data` is null for a hole; it is copied, so the fragment may be dropped
    // afterwards.
    std::shared_ptr<const PulseSampleBuffer> take(const void* data, std::size_t bytes, bool pass);

  private:
    const StreamDescription format_;
    const std::size_t frameBytes_;
    std::int64_t framesSeen_ = 0;
};

}  // namespace ostrovane::platform::pulse
