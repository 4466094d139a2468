#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "protocol/AudioProtocol.h"

namespace ostrovane::protocol {

struct AudioHeader {
    std::uint16_t sampleRate = 0;
    std::uint8_t channels = 0;
    std::uint8_t bitsPerSample = 0;
    std::uint16_t level = 0;

    bool operator==(const AudioHeader&) const = default;
};

struct VideoHeader {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint8_t fps = 0;
    std::uint8_t frameKind = 0;  // AudioProtocol::keyframeKind or deltaFrameKind
    std::uint64_t pts = 0;       // microseconds since the start of the capture

    bool isKeyframe() const noexcept { return frameKind == AudioProtocol::keyframeKind; }
    bool operator==(const VideoHeader&) const = default;
};

// One decoded frame: the fields both layouts share, the layout-specific
// header, and a copy of the payload.
struct Frame {
    std::uint64_t offset = 0;  // stream offset of the frame's first byte
    std::uint8_t version = 0;
    AudioProtocol::FrameType type = AudioProtocol::FrameType::mic;
    std::uint32_t payloadLength = 0;
    std::uint32_t sequence = 0;
    std::array<std::uint8_t, 4> reserved{};
    std::variant<AudioHeader, VideoHeader> header;
    std::vector<std::uint8_t> payload;

    bool isVideo() const noexcept { return std::holds_alternative<VideoHeader>(header); }
    // Throw std::bad_variant_access when asked for the other layout.
    const AudioHeader& audio() const { return std::get<AudioHeader>(header); }
    const VideoHeader& video() const { return std::get<VideoHeader>(header); }

    bool operator==(const Frame&) const = default;
};

enum class ReadErrorKind {
    badMagic,         // the first four bytes are not "APLD"
    badVersion,       // version byte neither 1 (audio) nor 2 (video)
    badType,          // type byte does not belong to the version
    reservedNotZero,  // one of the four reserved bytes is set
    badFrameKind,     // video frame kind neither 1 nor 2
    payloadTooLarge,  // payload length above the reader's limit
    truncated,        // the stream ended inside a frame
};

struct ReadError {
    ReadErrorKind kind;
    std::uint64_t offset;  // stream offset of the frame the error belongs to
    std::string message;   // readable description, offset and offending bytes included
};

enum class ReadStatus {
    frame,         // a frame was decoded
    needMoreData,  // feed more bytes (or call finish() at end of stream)
    endOfStream,   // finish() was called and every frame has been returned
    error,         // malformed input; see error(). Final.
};

std::ostream& operator<<(std::ostream& out, ReadErrorKind kind);
std::ostream& operator<<(std::ostream& out, ReadStatus status);

struct FrameReaderOptions {
    // A corrupt length field must not make the reader buffer gigabytes.
    std::uint32_t maxPayloadLength = 64u * 1024 * 1024;
    // Off for tools that want to look at streams with the reserved bytes used.
    bool requireZeroReserved = true;
};

// Incremental parser of a frame stream, for tests and tools. Bytes may be fed
// in any chunking; the frames and the first error found do not depend on it.
//
//     reader.feed(bytes);
//     Frame frame;
//     while (reader.next(frame) == ReadStatus::frame) { ... }
//
// Not thread-safe: one reader belongs to one thread at a time.
class FrameReader {
  public:
    FrameReader() = default;
    explicit FrameReader(FrameReaderOptions options) : options_(options) {}

    // Appends bytes to the stream. Ignored after an error or after finish().
    void feed(std::span<const std::uint8_t> bytes);

    // Marks the end of the stream: once the complete frames are read, a
    // partial frame left over becomes a `truncated` error.
    void finish() noexcept { finished_ = true; }

    // Decodes the next frame into `frame` (reusing its payload's storage).
    // `frame` is only written when the result is ReadStatus::frame.
    ReadStatus next(Frame& frame);

    const std::optional<ReadError>& error() const noexcept { return error_; }
    // Bytes taken out of the stream as whole frames so far.
    std::uint64_t bytesConsumed() const noexcept { return consumed_; }
    // Bytes fed but not yet returned as part of a frame.
    std::size_t bufferedBytes() const noexcept { return buffer_.size() - position_; }

  private:
    ReadStatus fail(ReadErrorKind kind, std::string message);
    ReadStatus waitFor(std::size_t needed, std::size_t available, const char* what);

    FrameReaderOptions options_{};
    std::vector<std::uint8_t> buffer_;
    std::size_t position_ = 0;  // start of the first unread frame in buffer_
    std::uint64_t consumed_ = 0;
    bool finished_ = false;
    std::optional<ReadError> error_;
};

class FrameReadError : public std::runtime_error {
  public:
    explicit FrameReadError(ReadError error)
        : std::runtime_error(error.message), error_(std::move(error)) {}
    const ReadError& error() const noexcept { return error_; }

  private:
    ReadError error_;
};

// Decodes a complete stream; throws FrameReadError on malformed or truncated
// input.
std::vector<Frame> readAllFrames(std::span<const std::uint8_t> bytes,
                                 FrameReaderOptions options = {});

}  // namespace ostrovane::protocol
