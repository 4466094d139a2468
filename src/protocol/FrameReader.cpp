#include "protocol/FrameReader.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <utility>

namespace ostrovane::protocol {

namespace {

std::uint64_t readLittleEndian(const std::uint8_t* bytes, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

std::uint16_t read16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(readLittleEndian(bytes, 2));
}
std::uint32_t read32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(readLittleEndian(bytes, 4));
}

std::string hexBytes(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        if (i > 0) {
            text.push_back(' ');
        }
        text.append(digits);
    }
    return text;
}

constexpr std::size_t magicSize = AudioProtocol::magicBytes.size();
constexpr std::size_t versionOffset = 4;
constexpr std::size_t typeOffset = 5;
constexpr std::size_t frameKindOffset = 11;  // video layout only
// Both layouts end in payload length, sequence and four reserved bytes.
constexpr std::size_t trailerSize = 12;

}  // namespace

std::ostream& operator<<(std::ostream& out, ReadErrorKind kind) {
    switch (kind) {
        case ReadErrorKind::badMagic:
            return out << "badMagic";
        case ReadErrorKind::badVersion:
            return out << "badVersion";
        case ReadErrorKind::badType:
            return out << "badType";
        case ReadErrorKind::reservedNotZero:
            return out << "reservedNotZero";
        case ReadErrorKind::badFrameKind:
            return out << "badFrameKind";
        case ReadErrorKind::payloadTooLarge:
            return out << "payloadTooLarge";
        case ReadErrorKind::truncated:
            return out << "truncated";
    }
    return out << "ReadErrorKind(" << static_cast<int>(kind) << ")";
}

std::ostream& operator<<(std::ostream& out, ReadStatus status) {
    switch (status) {
        case ReadStatus::frame:
            return out << "frame";
        case ReadStatus::needMoreData:
            return out << "needMoreData";
        case ReadStatus::endOfStream:
            return out << "endOfStream";
        case ReadStatus::error:
            return out << "error";
    }
    return out << "ReadStatus(" << static_cast<int>(status) << ")";
}

void FrameReader::feed(std::span<const std::uint8_t> bytes) {
    if (error_ || finished_ || bytes.empty()) {
        return;
    }
    // Drop consumed bytes once they are at least half the buffer, so large
    // frames fed in small chunks stay linear in cost.
    if (position_ == buffer_.size()) {
        buffer_.clear();
        position_ = 0;
    } else if (position_ >= buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(position_));
        position_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

ReadStatus FrameReader::fail(ReadErrorKind kind, std::string message) {
    error_ = ReadError{kind, consumed_,
                       "frame at stream offset " + std::to_string(consumed_) + ": " + message};
    buffer_.clear();
    buffer_.shrink_to_fit();
    position_ = 0;
    return ReadStatus::error;
}

ReadStatus FrameReader::waitFor(std::size_t needed, std::size_t available, const char* what) {
    if (!finished_) {
        return ReadStatus::needMoreData;
    }
    std::string message = "stream ended inside the " + std::string(what) + " after " +
                          std::to_string(available) + " bytes";
    if (needed != 0) {
        message += " of " + std::to_string(needed);
    }
    return fail(ReadErrorKind::truncated, std::move(message));
}

// Every check runs as soon as the bytes it looks at are available and always
// in the same order, so the first error does not depend on how the stream
// was chunked.
ReadStatus FrameReader::next(Frame& frame) {
    if (error_) {
        return ReadStatus::error;
    }
    const std::size_t available = buffer_.size() - position_;
    if (available == 0) {
        return finished_ ? ReadStatus::endOfStream : ReadStatus::needMoreData;
    }
    const std::uint8_t* bytes = buffer_.data() + position_;

    if (available < magicSize) {
        return waitFor(0, available, "frame header");
    }
    if (!std::equal(AudioProtocol::magicBytes.begin(), AudioProtocol::magicBytes.end(), bytes)) {
        return fail(ReadErrorKind::badMagic,
                    "bad magic " + hexBytes(bytes, magicSize) + " (expected " +
                        hexBytes(AudioProtocol::magicBytes.data(), magicSize) + ")");
    }

    if (available < typeOffset + 1) {
        return waitFor(0, available, "frame header");
    }
    const std::uint8_t version = bytes[versionOffset];
    const std::uint8_t rawType = bytes[typeOffset];
    std::size_t headerSize = 0;
    if (version == AudioProtocol::version) {
        headerSize = AudioProtocol::headerSize;
        if (rawType != static_cast<std::uint8_t>(AudioProtocol::FrameType::mic) &&
            rawType != static_cast<std::uint8_t>(AudioProtocol::FrameType::system)) {
            return fail(ReadErrorKind::badType,
                        "type " + std::to_string(rawType) +
                            " does not belong to version 1 (audio frames are type 1 or 2)");
        }
    } else if (version == AudioProtocol::videoVersion) {
        headerSize = AudioProtocol::videoHeaderSize;
        if (rawType != static_cast<std::uint8_t>(AudioProtocol::FrameType::video)) {
            return fail(ReadErrorKind::badType,
                        "type " + std::to_string(rawType) +
                            " does not belong to version 2 (video frames are type 3)");
        }
    } else {
        return fail(ReadErrorKind::badVersion,
                    "unknown version " + std::to_string(version) + " (expected 1 or 2)");
    }

    if (available < headerSize) {
        return waitFor(headerSize, available, "frame header");
    }
    const std::uint8_t* trailer = bytes + headerSize - trailerSize;
    const std::uint32_t payloadLength = read32(trailer);
    const std::uint32_t sequence = read32(trailer + 4);
    std::array<std::uint8_t, 4> reserved{};
    std::copy_n(trailer + 8, reserved.size(), reserved.begin());

    if (options_.requireZeroReserved &&
        std::any_of(reserved.begin(), reserved.end(), [](std::uint8_t b) { return b != 0; })) {
        return fail(
            ReadErrorKind::reservedNotZero,
            "reserved bytes " + hexBytes(reserved.data(), reserved.size()) + " are not zero");
    }
    const bool isVideo = version == AudioProtocol::videoVersion;
    if (isVideo && bytes[frameKindOffset] != AudioProtocol::keyframeKind &&
        bytes[frameKindOffset] != AudioProtocol::deltaFrameKind) {
        return fail(
            ReadErrorKind::badFrameKind,
            "video frame kind " + std::to_string(bytes[frameKindOffset]) + " (expected 1 or 2)");
    }
    if (payloadLength > options_.maxPayloadLength) {
        return fail(ReadErrorKind::payloadTooLarge,
                    "payload length " + std::to_string(payloadLength) + " exceeds the limit of " +
                        std::to_string(options_.maxPayloadLength) + " bytes");
    }

    const std::size_t frameSize = headerSize + payloadLength;
    if (available < frameSize) {
        return waitFor(frameSize, available, "frame");
    }

    frame.offset = consumed_;
    frame.version = version;
    frame.type = static_cast<AudioProtocol::FrameType>(rawType);
    frame.payloadLength = payloadLength;
    frame.sequence = sequence;
    frame.reserved = reserved;
    if (isVideo) {
        frame.header = VideoHeader{read16(bytes + 6), read16(bytes + 8), bytes[10], bytes[11],
                                   readLittleEndian(bytes + 12, 8)};
    } else {
        frame.header = AudioHeader{read16(bytes + 6), bytes[8], bytes[9], read16(bytes + 10)};
    }
    frame.payload.assign(bytes + headerSize, bytes + frameSize);

    position_ += frameSize;
    consumed_ += frameSize;
    return ReadStatus::frame;
}

std::vector<Frame> readAllFrames(std::span<const std::uint8_t> bytes, FrameReaderOptions options) {
    FrameReader reader(options);
    reader.feed(bytes);
    reader.finish();
    std::vector<Frame> frames;
    Frame frame;
    for (;;) {
        switch (reader.next(frame)) {
            case ReadStatus::frame:
                frames.push_back(std::move(frame));
                frame = Frame{};
                break;
            case ReadStatus::endOfStream:
                return frames;
            case ReadStatus::error:
                throw FrameReadError(*reader.error());
            case ReadStatus::needMoreData:  // impossible after finish()
                return frames;
        }
    }
}

}  // namespace ostrovane::protocol
