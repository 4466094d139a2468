#pragma once

#include "platform/VideoEncoder.h"

namespace ostrovane::platform::x264 {

// Settings the encoder cannot honour: a size below 2x2 once rounded down to
// even or larger than H.264's largest picture, a frame rate or keyframe interval below 1, a bit
// rate below 1 kbit/s.
inline constexpr EncoderStatus kX264ParameterError = -12902;
// encode() after invalidate().
inline constexpr EncoderStatus kX264InvalidSession = -12903;
// libx264 refused to open a session or failed to encode a picture.
inline constexpr EncoderStatus kX264EncoderFailed = -12911;

// H.264 sessions on libx264. A session encodes at the requested size rounded
// down to even (4:2:0 needs whole chroma pairs): an image one column or row
// larger is cropped, an image of any other size is scaled into the session's
// size.
class X264VideoEncoders final : public VideoEncoders {
  public:
    VideoEncoderCreation create(const VideoEncoderSettings& settings) override;
};

}  // namespace ostrovane::platform::x264
