#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "dispatch/ManualClock.h"
#include "platform/encoding/Base64.h"
#include "platform/sim/SimWorld.h"
#include "support/InProcessApp.h"

namespace ostrovane::test {

// The app over pipes on a simulated machine (one microphone, main display 1
// of 1920 × 1080) with time on a manual clock.
class VideoFixture : public ::testing::Test {
  protected:
    VideoFixture() { world.addTypicalMachine(); }

    // Sends `command` and returns the payload of the response that begins
    // with the command's own tag (or `prefix`), empty when none came.
    std::string ask(const std::string& command, std::string prefix = "") {
        if (prefix.empty())
            prefix = command.substr(0, command.find(':')) + ":";
        if (prefix == "SCREENSHOT:")
            prefix = "SCREENSHOT_DATA:";
        const std::size_t from = app.lines().size();
        app.send(command);
        return app.answerStartingWith(prefix, from).value_or("");
    }

    std::vector<protocol::Frame> videoFrames() const {
        auto frames = app.frames();
        std::erase_if(frames, [](const protocol::Frame& frame) { return !frame.isVideo(); });
        return frames;
    }

    // The first `n` bytes of a frame's payload, fewer when it is shorter.
    static std::vector<std::uint8_t> head(const protocol::Frame& frame, std::size_t n) {
        const auto& p = frame.payload;
        return {p.begin(), p.begin() + static_cast<std::ptrdiff_t>(std::min(n, p.size()))};
    }

    bool hasLine(const std::string& line) { return app.errors().waitForLine(line).has_value(); }

    // Width and height of a PNG given as Base64 (with or without a data-URL
    // prefix); {0, 0} when it is not one.
    static std::pair<std::uint32_t, std::uint32_t> pngSize(std::string_view base64) {
        base64.remove_prefix(base64.find(',') + 1);  // none: npos + 1 is 0
        const auto bytes = platform::base64Decode(base64).value_or(std::vector<std::uint8_t>{});
        std::uint32_t size[2] = {0, 0};  // big-endian at bytes 16 and 20
        for (std::size_t i = 0; bytes.size() >= 24 && bytes[1] == 'P' && i < 8; ++i)
            size[i / 4] = size[i / 4] << 8 | bytes[16 + i];
        return {size[0], size[1]};
    }

    dispatch::ManualClock clock{1'765'000'000.0};
    platform::sim::SimWorld world{clock};
    InProcessApp app{clock, world.platform()};
};

}  // namespace ostrovane::test
