#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/VideoEncoder.h"
#include "platform/image/Image.h"

namespace ostrovane::test {

// Encodes pictures with a libx264 session and looks at the result the way a
// parent does: as an Annex B stream read back by ffprobe and ffmpeg.
class X264Fixture : public testing::Test {
  protected:
    struct Output {
        platform::EncoderStatus status;
        std::optional<platform::EncodedFrame> frame;
    };

    void TearDown() override;

    std::unique_ptr<platform::VideoEncoder> open(const platform::VideoEncoderSettings& settings);
    platform::EncodedFrameHandler recording();
    std::vector<Output> outputs() const;

    // Encodes every image (offering it again while the session is busy) with
    // presentation times i/10 s and forced keyframes at `forced`, then
    // waits for all output.
    void encodeAll(platform::VideoEncoder& encoder, const std::vector<platform::Image>& images,
                   const std::set<int>& forced = {});

    // The recorded frames as one Annex B stream (parameter sets in front of
    // keyframes), written to a file of this test; its path.
    std::filesystem::path writeAnnexB();

    // The first of ffprobe and ffmpeg that is not on PATH, if any.
    static std::optional<std::string> missingTool();
    // Runs a tool found on PATH; its standard output when it exited with 0.
    std::optional<std::string> runTool(const std::string& tool, std::vector<std::string> args);

  private:
    mutable std::mutex mutex_;
    std::vector<Output> _outputs;  // guarded by mutex_
    std::vector<std::filesystem::path> files_;
};

// An opaque picture: a gradient, lines of text-like strokes, and a block that
// moves with `frame`.
platform::Image screenLikeImage(std::uint32_t width, std::uint32_t height, int frame);
// An opaque picture of one colour.
platform::Image solidImage(std::uint32_t width, std::uint32_t height, std::uint8_t r,
                           std::uint8_t g, std::uint8_t b);

}  // namespace ostrovane::test
