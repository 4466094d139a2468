#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/PlatformError.h"

namespace ostrovane::sources {

// Why a WAV file is refused. The first five kinds are the canonical header
// checks; the last three refuse files that could not be played as a stream of
// 20 ms frames (no rate to convert from, no channel layout that maps to
// stereo, or not even one frame of samples to loop over).
struct WAVError {
    enum class Kind {
        unsupportedFormat,    // value: the format code
        unsupportedBitDepth,  // value: the bit depth
        fileTooShort,
        invalidRIFFHeader,
        invalidWAVEFormat,
        unsupportedChannelCount,  // value: the channel count
        unsupportedSampleRate,    // value: the sample rate
        sampleDataTooShort,       // value: sample bytes; needed: bytes of one frame
    };

    Kind kind;
    std::int64_t value = 0;
    std::int64_t needed = 0;

    std::string description() const;
    // As the system's error currency: the description is the message.
    platform::Error toError() const;
    bool operator==(const WAVError&) const = default;
};

inline constexpr const char* kWAVErrorDomain = "WAVFileSource.WAVError";

// A WAV file as read from the canonical 44-byte header: no chunk is walked,
// and everything after offset 44 counts as interleaved 16-bit samples. The
// samples are a read-only view into the file's bytes, which copies of the
// contents share: sources playing one file hold it once.
struct WAVContents {
    std::int64_t sampleRate = 16000;
    std::int64_t channels = 1;
    std::int64_t bitsPerSample = 16;
    std::shared_ptr<const std::vector<std::uint8_t>> file;
    std::span<const std::uint8_t> pcmData;  // into *file

    // Source bytes that make one 20 ms output frame.
    std::int64_t inputFrameSize() const;
};

// Highest and lowest rates a file may have: above 48 kHz the repeat factor
// would be 0, below 50 Hz a 20 ms frame holds no sample.
inline constexpr std::int64_t kMinWAVSampleRate = 50;
inline constexpr std::int64_t kMaxWAVSampleRate = 48000;

// Checks the header; the contents copy the bytes, or, given the file's own
// buffer, keep it without a copy.
std::variant<WAVContents, WAVError> parseWAV(std::span<const std::uint8_t> file);
std::variant<WAVContents, WAVError> parseWAV(std::vector<std::uint8_t>&& file);

// One input frame of source samples to output-format bytes (16-bit stereo at
// 48 kHz) by a zero-order hold: each sample frame repeated 48000 / rate times
// (integer quotient; once at 44.1 kHz), mono doubled to left and right. An
// odd trailing byte, and for stereo an unpaired trailing sample, are ignored.
// `out` is replaced.
void convertToOutputFormat(const WAVContents& format, std::span<const std::uint8_t> input,
                           std::vector<std::uint8_t>& out);

}  // namespace ostrovane::sources
