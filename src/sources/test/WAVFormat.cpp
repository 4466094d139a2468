#include "sources/test/WAVFormat.h"

#include <cstring>

#include "streaming/AudioOutputFormat.h"

namespace ostrovane::sources {

namespace {

using streaming::AudioOutputFormat;

constexpr std::size_t kHeaderSize = 44;

std::uint32_t readLE(std::span<const std::uint8_t> bytes, std::size_t offset, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | bytes[offset + static_cast<std::size_t>(i)];
    return value;
}

bool hasTag(std::span<const std::uint8_t> bytes, std::size_t offset, const char* tag) {
    return std::memcmp(bytes.data() + offset, tag, 4) == 0;
}

void putSample(std::vector<std::uint8_t>& out, std::uint8_t low, std::uint8_t high) {
    out.push_back(low);
    out.push_back(high);
}

}  // namespace

std::string WAVError::description() const {
    switch (kind) {
        case Kind::unsupportedFormat:
            return "Unsupported audio format: " + std::to_string(value) + " (only PCM=1 supported)";
        case Kind::unsupportedBitDepth:
            return "Unsupported bit depth: " + std::to_string(value) + " (only 16-bit supported)";
        case Kind::fileTooShort:
            return "WAV file too short (< 44 bytes)";
        case Kind::invalidRIFFHeader:
            return "Invalid RIFF header";
        case Kind::invalidWAVEFormat:
            return "Invalid WAVE format";
        case Kind::unsupportedChannelCount:
            return "Unsupported channel count: " + std::to_string(value) +
                   " (only 1 or 2 supported)";
        case Kind::unsupportedSampleRate:
            return "Unsupported sample rate: " + std::to_string(value) + " Hz (only " +
                   std::to_string(kMinWAVSampleRate) + " to " + std::to_string(kMaxWAVSampleRate) +
                   " Hz supported)";
        case Kind::sampleDataTooShort:
            return "WAV sample data too short: " + std::to_string(value) +
                   " bytes (one 20 ms frame needs " + std::to_string(needed) + ")";
    }
    return "Unknown WAV error";
}

platform::Error WAVError::toError() const {
    return platform::Error{kWAVErrorDomain, static_cast<std::int64_t>(kind), description()};
}

std::int64_t WAVContents::inputFrameSize() const {
    const auto samplesPerFrame = static_cast<std::int64_t>(AudioOutputFormat::frameDuration *
                                                           static_cast<double>(sampleRate));
    return samplesPerFrame * channels * (bitsPerSample / 8);
}

namespace {

std::variant<WAVContents, WAVError> checkHeader(std::span<const std::uint8_t> file) {
    using Kind = WAVError::Kind;
    // A header alone, without one sample byte, is refused too.
    if (file.size() < kHeaderSize + 1)
        return WAVError{Kind::fileTooShort};
    if (!hasTag(file, 0, "RIFF"))
        return WAVError{Kind::invalidRIFFHeader};
    if (!hasTag(file, 8, "WAVE"))
        return WAVError{Kind::invalidWAVEFormat};
    const std::uint32_t formatCode = readLE(file, 20, 2);
    if (formatCode != 1)
        return WAVError{Kind::unsupportedFormat, formatCode};

    WAVContents contents;
    contents.channels = readLE(file, 22, 2);
    contents.sampleRate = readLE(file, 24, 4);
    contents.bitsPerSample = readLE(file, 34, 2);
    if (contents.bitsPerSample != 16)
        return WAVError{Kind::unsupportedBitDepth, contents.bitsPerSample};
    if (contents.channels < 1 || contents.channels > 2)
        return WAVError{Kind::unsupportedChannelCount, contents.channels};
    if (contents.sampleRate < kMinWAVSampleRate || contents.sampleRate > kMaxWAVSampleRate)
        return WAVError{Kind::unsupportedSampleRate, contents.sampleRate};
    const auto pcmBytes = static_cast<std::int64_t>(file.size() - kHeaderSize);
    // Looping needs at least one whole frame, or it would wrap for ever
    // without emitting anything.
    if (pcmBytes < contents.inputFrameSize())
        return WAVError{Kind::sampleDataTooShort, pcmBytes, contents.inputFrameSize()};
    return contents;
}

std::variant<WAVContents, WAVError> keep(std::shared_ptr<const std::vector<std::uint8_t>> file) {
    auto checked = checkHeader(*file);
    if (auto* contents = std::get_if<WAVContents>(&checked)) {
        contents->pcmData = std::span(*file).subspan(kHeaderSize);
        contents->file = std::move(file);
    }
    return checked;
}

}  // namespace

std::variant<WAVContents, WAVError> parseWAV(std::span<const std::uint8_t> file) {
    if (auto checked = checkHeader(file); std::holds_alternative<WAVError>(checked))
        return checked;
    return keep(std::make_shared<const std::vector<std::uint8_t>>(file.begin(), file.end()));
}

std::variant<WAVContents, WAVError> parseWAV(std::vector<std::uint8_t>&& file) {
    return keep(std::make_shared<const std::vector<std::uint8_t>>(std::move(file)));
}

void convertToOutputFormat(const WAVContents& format, std::span<const std::uint8_t> input,
                           std::vector<std::uint8_t>& out) {
    out.clear();
    const std::int64_t repeat = format.sampleRate == AudioOutputFormat::sampleRate
                                    ? 1
                                    : AudioOutputFormat::sampleRate / format.sampleRate;
    const std::size_t values = input.size() / 2;
    if (format.channels == 1) {
        out.reserve(values * static_cast<std::size_t>(repeat) * 4);
        for (std::size_t i = 0; i < values; ++i) {
            for (std::int64_t r = 0; r < repeat; ++r) {
                putSample(out, input[2 * i], input[2 * i + 1]);  // left
                putSample(out, input[2 * i], input[2 * i + 1]);  // right
            }
        }
        return;
    }
    // Stereo: whole (left, right) sample frames are held, never single values.
    const std::size_t frames = values / 2;
    out.reserve(frames * static_cast<std::size_t>(repeat) * 4);
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::int64_t r = 0; r < repeat; ++r)
            out.insert(out.end(), input.begin() + static_cast<std::ptrdiff_t>(4 * f),
                       input.begin() + static_cast<std::ptrdiff_t>(4 * f + 4));
    }
}

}  // namespace ostrovane::sources
