#pragma once

#include <cstdint>

#include <x264.h>

#include "platform/VideoEncoder.h"

namespace ostrovane::platform::x264 {

// The x264 preset, chosen by measurement on screen-like frames
// (README.md, Performance): "veryfast" keeps small text markedly sharper
// than "superfast" at the same bit rate for about 12% more CPU, while
// "faster" costs 60% more for a smaller gain.
inline constexpr const char* kX264Preset = "veryfast";

// Even width and height of a session for the requested size; zero when the
// rounded size is below 2 or beyond what H.264 can encode.
struct EvenSize {
    int width = 0;
    int height = 0;
};
EvenSize evenSizeFor(std::int32_t width, std::int32_t height);

// x264 parameters for a session: Main profile, automatic level, ABR with a
// one-second VBV at the average bit rate, keyframes exactly every
// maxKeyframeInterval frames (no scene-cut keyframes), zero latency (no
// B-frames, no lookahead, one picture in, its access unit out),
// 4-byte length prefixes, headers only through x264_encoder_headers, VUI
// describing limited-range BT.601 (what libyuv's ARGBToI420 produces), and
// x264's own logging off. False when the settings cannot be encoded.
bool makeX264Parameters(const VideoEncoderSettings& settings, EvenSize size, x264_param_t& param);

}  // namespace ostrovane::platform::x264
