#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "platform/SampleBuffer.h"
#include "platform/audio/AudioConverter.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/PcmBuffer.h"
#include "protocol/TextChannel.h"

namespace ostrovane::sources::system {

// The system source's sample path after the stream checks: copies a captured
// buffer into PCM, converts it to interleaved 16-bit at the target rate and
// channel count, and hands the bytes on. Keeps its converter (and so the
// resampler's history) while the input format stays the same.
//
// Used on the source's audio queue only. The PCM buffers are kept and reused
// while the buffer size stays the same, so the steady state allocates nothing.
class SystemAudioConversion {
  public:
    using Deliver = std::function<void(std::span<const std::uint8_t> chunk)>;

    SystemAudioConversion(const protocol::TextChannel& text, std::int64_t targetSampleRate,
                          std::int64_t targetChannels);

    // Converts the `frames` frames of `buffer`, described by `description`,
    // and calls `deliver` with the result, which may be empty while the
    // resampler primes. Failures are logged and drop the buffer.
    void process(const platform::SampleBuffer& buffer,
                 const platform::StreamDescription& description, std::int64_t frames,
                 const Deliver& deliver);

    // Forgets the converter and the target format: the next buffer starts a
    // fresh conversion (a rebuilt stream must not inherit resampler history).
    void reset();

    // Output frames for `frames` input frames: the exact rate ratio rounded
    // up, with no headroom.
    static std::uint32_t outputCapacity(std::int64_t targetSampleRate, std::int64_t frames,
                                        double inputSampleRate);

  private:
    void log(std::string_view message) const;

    const protocol::TextChannel& text_;
    const std::int64_t targetSampleRate_;
    const std::int64_t targetChannels_;
    std::optional<platform::AudioFormat> systemTargetFormat_;
    std::unique_ptr<platform::AudioConverter> systemConverter_;
    std::unique_ptr<platform::PcmBuffer> input_;
    std::unique_ptr<platform::PcmBuffer> output_;
};

}  // namespace ostrovane::sources::system
