#include "protocol/FrameWriter.h"

#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "util/WriteAll.h"

namespace ostrovane::protocol {

namespace {

template <std::size_t N>
class HeaderBuilder {
  public:
    HeaderBuilder(std::uint8_t version, std::uint8_t type) {
        put(AudioProtocol::magicBytes);
        put8(version);
        put8(type);
    }

    void put8(std::uint8_t value) { bytes_[size_++] = value; }
    void put16(std::uint16_t value) { putLittleEndian(value, 2); }
    void put32(std::uint32_t value) { putLittleEndian(value, 4); }
    void put64(std::uint64_t value) { putLittleEndian(value, 8); }
    void put(std::span<const std::uint8_t> raw) {
        for (const auto byte : raw) {
            put8(byte);
        }
    }

    // Header followed by the payload, with a single allocation.
    std::vector<std::uint8_t> withPayload(std::span<const std::uint8_t> payload) const {
        std::vector<std::uint8_t> frame;
        frame.reserve(N + payload.size());
        frame.insert(frame.end(), bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(N));
        frame.insert(frame.end(), payload.begin(), payload.end());
        return frame;
    }

  private:
    void putLittleEndian(std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) {
            put8(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }

    std::array<std::uint8_t, N> bytes_{};
    std::size_t size_ = 0;
};

std::uint32_t payloadLength(std::span<const std::uint8_t> payload) {
    if (payload.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("frame payload does not fit the 32-bit length field");
    }
    return static_cast<std::uint32_t>(payload.size());
}

constexpr std::array<std::uint8_t, 4> reservedBytes{0, 0, 0, 0};

}  // namespace

std::uint16_t levelFromRms(double rms) noexcept {
    if (std::isnan(rms) || rms >= 1.0) {
        return 65535;
    }
    if (rms < 0.0) {
        return 0;
    }
    return static_cast<std::uint16_t>(rms * 65535.0);
}

double calculateRMSInt16(std::span<const std::uint8_t> data) noexcept {
    const std::size_t samples = data.size() / 2;
    if (samples == 0) {
        return 0.0;
    }
    double sum = 0.0;
    for (std::size_t offset = 0; offset + 1 < data.size(); offset += 2) {
        const auto raw = static_cast<std::uint16_t>(data[offset] | (data[offset + 1] << 8));
        const double normalised = static_cast<std::int16_t>(raw) / 32767.0;
        sum += normalised * normalised;
    }
    return std::sqrt(sum / static_cast<double>(samples));
}

std::vector<std::uint8_t> encodeAudioFrame(AudioProtocol::FrameType type, std::uint16_t sampleRate,
                                           std::uint8_t channels, std::uint8_t bitsPerSample,
                                           double rms, std::span<const std::uint8_t> pcmData,
                                           std::uint32_t sequence) {
    HeaderBuilder<AudioProtocol::headerSize> header(AudioProtocol::version,
                                                    static_cast<std::uint8_t>(type));
    header.put16(sampleRate);
    header.put8(channels);
    header.put8(bitsPerSample);
    header.put16(levelFromRms(rms));
    header.put32(payloadLength(pcmData));
    header.put32(sequence);
    header.put(reservedBytes);
    return header.withPayload(pcmData);
}

std::vector<std::uint8_t> encodeVideoFrame(std::uint16_t width, std::uint16_t height,
                                           std::uint8_t fps, bool isKeyframe, std::uint64_t pts,
                                           std::span<const std::uint8_t> nalData,
                                           std::uint32_t sequence) {
    HeaderBuilder<AudioProtocol::videoHeaderSize> header(
        AudioProtocol::videoVersion, static_cast<std::uint8_t>(AudioProtocol::FrameType::video));
    header.put16(width);
    header.put16(height);
    header.put8(fps);
    header.put8(isKeyframe ? AudioProtocol::keyframeKind : AudioProtocol::deltaFrameKind);
    header.put64(pts);
    header.put32(payloadLength(nalData));
    header.put32(sequence);
    header.put(reservedBytes);
    return header.withPayload(nalData);
}

FrameWriter::FrameWriter(int fd, std::function<void(int errnoValue)> onWriteFailure)
    : fd_(fd), onWriteFailure_(std::move(onWriteFailure)) {}

void FrameWriter::writeBinaryFrame(AudioProtocol::FrameType type, std::uint16_t sampleRate,
                                   std::uint8_t channels, std::uint8_t bitsPerSample, double rms,
                                   std::span<const std::uint8_t> pcmData,
                                   std::uint32_t sequence) noexcept {
    if (hasFailed()) {
        return;
    }
    // A frame that cannot be encoded (no memory, payload beyond 4 GiB) is
    // dropped whole; writing part of it would corrupt the stream.
    try {
        writeFrame(
            encodeAudioFrame(type, sampleRate, channels, bitsPerSample, rms, pcmData, sequence));
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
}

void FrameWriter::writeVideoFrame(std::uint16_t width, std::uint16_t height, std::uint8_t fps,
                                  bool isKeyframe, std::uint64_t pts,
                                  std::span<const std::uint8_t> nalData,
                                  std::uint32_t sequence) noexcept {
    if (hasFailed()) {
        return;
    }
    try {
        writeFrame(encodeVideoFrame(width, height, fps, isKeyframe, pts, nalData, sequence));
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
}

void FrameWriter::writeFrame(std::span<const std::uint8_t> frame) noexcept {
    int error = 0;
    {
        std::lock_guard lock(stdoutLock_);
        if (writeFailed_.load(std::memory_order_relaxed)) {
            return;
        }
        error = writeAll(fd_, frame);
        if (error == 0) {
            return;
        }
        writeFailed_.store(true, std::memory_order_release);
    }
    // Only the thread that flipped the flag gets here, so this runs once.
    if (onWriteFailure_) {
        onWriteFailure_(error);
    }
}

}  // namespace ostrovane::protocol
