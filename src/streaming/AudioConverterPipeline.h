#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/AudioConverter.h"
#include "platform/audio/AudioFormat.h"
#include "platform/audio/PcmBuffer.h"

namespace ostrovane::streaming {

// Turns captured PCM of whatever format the device delivers into output-format
// bytes (interleaved 16-bit stereo at 48 kHz). One converter lives as long as
// the input format stays the same, so resampling is continuous from buffer to
// buffer; a buffer of another format (rate, channels or representation)
// brings a new one.
//
// Not synchronised: the owner calls it from its capture thread only.
class AudioConverterPipeline {
  public:
    using Logger = std::function<void(const std::string& message)>;
    // Where converters come from; returns null when none can be made.
    using ConverterFactory = std::function<std::unique_ptr<platform::AudioConverter>(
        const platform::AudioFormat& from, const platform::AudioFormat& to)>;

    explicit AudioConverterPipeline(Logger logger = {}, ConverterFactory factory = {});

    // The converted audio, or nothing when this buffer produced nothing
    // (failure, or a resampler still priming). The caller drops the buffer.
    std::optional<std::vector<std::uint8_t>> process(const platform::PcmBuffer& buffer);

    // Drops the converter and the counters; the next buffer builds anew.
    void reset();

    // Output frames allotted to `inputFrames` at `inputRate`: the rate ratio
    // with 10 % headroom, so one call drains what one input buffer yields.
    static double outputCapacity(double inputRate, std::uint32_t inputFrames);

    const platform::AudioFormat& targetFormat() const { return targetFormat_; }
    std::int64_t processCount() const { return processCount_; }
    std::int64_t successCount() const { return successCount_; }

  private:
    void log(const std::string& message) const;
    // Failure messages are only logged for the first calls after a reset.
    void logEarly(const std::string& message) const;
    void chooseConverter(const platform::AudioFormat& input);

    Logger logger_;
    ConverterFactory factory_;
    platform::AudioFormat targetFormat_;
    std::unique_ptr<platform::AudioConverter> converter_;
    std::optional<platform::AudioFormat> lastInputFormat_;
    std::int64_t processCount_ = 0;
    std::int64_t successCount_ = 0;
};

}  // namespace ostrovane::streaming
