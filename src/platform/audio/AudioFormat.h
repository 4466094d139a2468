#pragma once

#include <cstdint>
#include <optional>

namespace ostrovane::platform {

// What a captured buffer says about the PCM it carries. Capture layers fill one
// per buffer; `AudioFormat::fromStreamDescription` decides whether it can be
// worked with.
struct StreamDescription {
    double sampleRate = 0;
    std::uint32_t channelsPerFrame = 0;
    std::uint32_t bitsPerChannel = 0;
    bool isFloat = false;
    bool isSignedInteger = false;
    // Each channel in its own plane instead of frames of all channels.
    bool isNonInterleaved = false;
    bool isPacked = true;
    // False for compressed or otherwise non-PCM payloads.
    bool isLinearPcm = true;

    // Bytes of one frame in one plane: all channels when interleaved, one
    // channel when non-interleaved.
    std::uint32_t bytesPerFrame() const {
        const std::uint32_t bytesPerSample = bitsPerChannel / 8;
        return isNonInterleaved ? bytesPerSample : bytesPerSample * channelsPerFrame;
    }

    friend bool operator==(const StreamDescription&, const StreamDescription&) = default;
};

// The sample representation of a format. `otherFormat` names everything the
// system cannot process (24-bit, unsigned, 8-bit...); no AudioFormat has it.
enum class CommonFormat { otherFormat, pcmFloat32, pcmFloat64, pcmInt16, pcmInt32 };

// Bytes of one sample; 0 for otherFormat.
std::uint32_t bytesPerSample(CommonFormat format);

// A PCM format: sample representation, rate, channel count and layout.
// Always describes processable PCM (positive finite rate, at least one
// channel, a known sample representation). Values are small and copyable.
class AudioFormat {
  public:
    // Throws std::invalid_argument when the values do not describe
    // processable PCM; use `make` to get nothing instead.
    AudioFormat(CommonFormat format, double sampleRate, std::uint32_t channelCount,
                bool interleaved);

    static std::optional<AudioFormat> make(CommonFormat format, double sampleRate,
                                           std::uint32_t channelCount, bool interleaved);

    // Nothing when the description cannot be worked with: non-PCM, a rate that
    // is not positive and finite, no channels, a sample type other than
    // 32/64-bit float or 16/32-bit signed integer, or more than two channels.
    // A description carries no channel layout, so beyond stereo the position
    // of each channel is unknown; callers take a channel they can name instead
    // (the microphone path falls back to channel 0).
    static std::optional<AudioFormat> fromStreamDescription(const StreamDescription& description);

    CommonFormat commonFormat() const { return format_; }
    double sampleRate() const { return sampleRate_; }
    std::uint32_t channelCount() const { return channelCount_; }
    bool isInterleaved() const { return interleaved_; }
    std::uint32_t bytesPerSample() const;
    // Bytes of one frame in one plane (see StreamDescription::bytesPerFrame).
    std::uint32_t bytesPerFrame() const;
    // Planes a buffer of this format has: 1 when interleaved (or mono),
    // otherwise one per channel.
    std::uint32_t planeCount() const;

    StreamDescription streamDescription() const;

    // Full equality: representation, rate, channels and layout.
    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;

  private:
    CommonFormat format_;
    double sampleRate_;
    std::uint32_t channelCount_;
    bool interleaved_;
};

// The comparison the conversion pipeline uses to decide whether its converter
// still fits: rate, channel count and sample representation, not the layout.
bool sameRateChannelsAndRepresentation(const AudioFormat& a, const AudioFormat& b);

}  // namespace ostrovane::platform
