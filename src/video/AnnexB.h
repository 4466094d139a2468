#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace ostrovane::video {

// The 4-byte start code that precedes every NAL unit of the Annex B stream.
inline constexpr std::array<std::uint8_t, 4> annexBStartCode{0x00, 0x00, 0x00, 0x01};

// Rewrites one access unit from the encoder's length-prefixed form (each NAL
// unit preceded by its 4-byte big-endian length) into Annex B. A keyframe
// gets the parameter sets in front, each that is known (non-empty). The walk
// stops at the first length field that is incomplete or announces more bytes
// than remain: the NAL units before it are kept, the rest is dropped. NAL
// units are copied unchanged (they already carry their emulation prevention).
std::vector<std::uint8_t> convertAVCCToAnnexB(std::span<const std::uint8_t> data, bool isKeyframe,
                                              std::span<const std::uint8_t> sps,
                                              std::span<const std::uint8_t> pps);

}  // namespace ostrovane::video
