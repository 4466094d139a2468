#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/MediaTime.h"
#include "platform/image/Image.h"

namespace ostrovane::platform {

// Status of an encoder call: 0 is success.
using EncoderStatus = std::int32_t;

// encode() refused the image because the images already waiting fill the
// session's small input queue: the encoder is slower than the capture. The
// image is dropped and no output follows for it; callers count these rather
// than treating them as failures.
inline constexpr EncoderStatus kEncoderBusy = -12905;

// H.264 session settings: Main profile, automatic level, real time, no frame
// reordering (output order equals input order).
struct VideoEncoderSettings {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int64_t averageBitrate = 2'000'000;  // bits per second
    std::int32_t maxKeyframeInterval = 10;    // frames
    std::int32_t frameRate = 10;              // images per second, for rate control
};

// The H.264 parameter sets, each without length prefix or start code.
struct ParameterSets {
    std::vector<std::uint8_t> sps;
    std::vector<std::uint8_t> pps;
};

// One access unit: NAL units each preceded by its 4-byte big-endian length.
struct EncodedFrame {
    std::vector<std::uint8_t> data;
    MediaTime presentationTime;
    bool isKeyframe = false;
    // Readable on keyframes; may be missing otherwise.
    std::optional<ParameterSets> parameterSets;
};

// Called on an encoder thread, once per submitted image that produced output
// or failed: a non-zero status comes without a frame.
using EncodedFrameHandler = std::function<void(EncoderStatus, std::optional<EncodedFrame>)>;

// An H.264 encoder session.
//
// encode is called from one capture queue; frames come back in submission
// order. completeFrames waits until every submitted image has been handed to
// its handler; after invalidate no handler is called any more.
class VideoEncoder {
  public:
    virtual ~VideoEncoder() = default;

    virtual EncoderStatus encode(const Image& image, MediaTime presentationTime, MediaTime duration,
                                 bool forceKeyframe, EncodedFrameHandler onOutput) = 0;
    virtual void completeFrames() = 0;
    virtual void invalidate() = 0;
};

struct VideoEncoderCreation {
    EncoderStatus status = 0;
    std::unique_ptr<VideoEncoder> encoder;  // set when status is 0
};

class VideoEncoders {
  public:
    virtual ~VideoEncoders() = default;
    virtual VideoEncoderCreation create(const VideoEncoderSettings& settings) = 0;
};

}  // namespace ostrovane::platform
