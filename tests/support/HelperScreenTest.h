#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "protocol/FrameReader.h"
#include "support/HelperProcess.h"

namespace ostrovane::test {

// A picture decoded by ffmpeg into RGB, 3 bytes per pixel.
struct Picture {
    int width = 0;
    int height = 0;
    std::string rgb;

    std::uint32_t at(int x, int y) const {
        const auto* p = reinterpret_cast<const std::uint8_t*>(rgb.data()) + (y * width + x) * 3;
        return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    }
};

// Colours (0xRRGGBB) match within what 4:2:0 video and its rounding leave
// of them.
bool nearColour(std::uint32_t a, std::uint32_t b, int tolerance = 40);

// The parent's side of the helper's screen commands, for tests that run the
// helper binary on a real display server: asks and answers, the target
// list, and the video frames decoded with ffprobe and ffmpeg.
class HelperScreenTest : public ::testing::Test {
  protected:
    static constexpr const char* kFfprobe = "/usr/bin/ffprobe";
    static constexpr const char* kFfmpeg = "/usr/bin/ffmpeg";

    void TearDown() override;

    // A temporary file of this test, removed at its end.
    std::filesystem::path file(const std::string& name);

    // Sends `command` and returns what follows `prefix` in its answer.
    std::string ask(const std::string& command, const std::string& prefix);
    nlohmann::json listWindows();
    // The id of the first listed display; 0 when there is none.
    std::uint64_t displayId();

    std::optional<Picture> decode(const std::filesystem::path& path, bool lastFrame = false);
    std::optional<Picture> decodePng(const std::string& base64);

    // The video frames written after byte `from`.
    std::vector<protocol::Frame> videoFrames(std::size_t from = 0);
    bool waitForVideoFrames(std::size_t count, std::size_t from = 0,
                            std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::optional<Picture> decodeVideo(std::size_t from, bool lastFrame);
    std::string startVideo(const std::string& type, std::uint64_t id, int width = 320,
                           int height = 240);

    std::unique_ptr<HelperProcess> helper;

  private:
    std::vector<std::filesystem::path> files_;
};

}  // namespace ostrovane::test
