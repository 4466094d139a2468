#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace ostrovane::protocol {

// Constants of the binary frame stream on the output channel. Every frame is a
// fixed header followed by its payload; all header fields are unsigned and
// little-endian, packed without padding.
//
// Audio header (24 bytes): magic[4] version=1 type(1|2) sampleRate:16
//   channels:8 bitsPerSample:8 level:16 payloadLength:32 sequence:32 reserved[4]
// Video header (32 bytes): magic[4] version=2 type=3 width:16 height:16 fps:8
//   frameKind:8 pts:64 payloadLength:32 sequence:32 reserved[4]
struct AudioProtocol {
    AudioProtocol() = delete;

    static constexpr std::array<std::uint8_t, 4> magicBytes{0x41, 0x50, 0x4C, 0x44};  // "APLD"
    static constexpr std::uint8_t version = 1;       // audio layout
    static constexpr std::uint8_t videoVersion = 2;  // video layout
    static constexpr std::size_t headerSize = 24;
    static constexpr std::size_t videoHeaderSize = 32;

    // Frame kind byte of a video header; 0 is never written.
    static constexpr std::uint8_t keyframeKind = 1;
    static constexpr std::uint8_t deltaFrameKind = 2;

    enum class FrameType : std::uint8_t { mic = 1, system = 2, video = 3 };

    // The frame type with this raw value, or nothing for any value but 1, 2, 3.
    static constexpr std::optional<FrameType> frameType(std::uint8_t raw) noexcept {
        switch (raw) {
            case 1:
                return FrameType::mic;
            case 2:
                return FrameType::system;
            case 3:
                return FrameType::video;
            default:
                return std::nullopt;
        }
    }
};

}  // namespace ostrovane::protocol
