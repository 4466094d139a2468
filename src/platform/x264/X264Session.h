#pragma once

#include <memory>
#include <thread>

#include "platform/VideoEncoder.h"
#include "platform/x264/EncoderLoop.h"
#include "platform/x264/I420Converter.h"

namespace ostrovane::platform::x264 {

// One H.264 session. encode() runs on the capture queue and only converts the
// image into a free picture of the pool; libx264 and the output handlers run
// on the session's encoder thread.
class X264Session final : public VideoEncoder {
  public:
    X264Session(std::shared_ptr<EncoderLoop> loop, int width, int height);
    // Stops and joins the encoder thread; pictures still waiting are dropped
    // without output.
    ~X264Session() override;

    X264Session(const X264Session&) = delete;
    X264Session& operator=(const X264Session&) = delete;

    EncoderStatus encode(const Image& image, MediaTime presentationTime, MediaTime duration,
                         bool forceKeyframe, EncodedFrameHandler onOutput) override;
    void completeFrames() override;
    void invalidate() override;

  private:
    // Shared with the thread, so that a handler that releases the last owner
    // of the session does not pull the loop away from under its own thread.
    std::shared_ptr<EncoderLoop> loop_;
    I420Converter converter_;  // capture queue only
    std::thread thread_;
};

}  // namespace ostrovane::platform::x264
