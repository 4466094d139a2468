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
        std::vector<protocol::Frame> out;
        for (auto& frame : app.frames()) {
            if (frame.isVideo())
                out.push_back(std::move(frame));
        }
        return out;
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
        if (auto comma = base64.find(','); comma != std::string_view::npos)
            base64.remove_prefix(comma + 1);
        const auto bytes = platform::base64Decode(base64);
        if (!bytes || bytes->size() < 24 || (*bytes)[1] != 'P')
            return {0, 0};
        auto be32 = [&](std::size_t at) {
            return (std::uint32_t{(*bytes)[at]} << 24) | (std::uint32_t{(*bytes)[at + 1]} << 16) |
                   (std::uint32_t{(*bytes)[at + 2]} << 8) | (*bytes)[at + 3];
        };
        return {be32(16), be32(20)};
    }

    dispatch::ManualClock clock{1'765'000'000.0};
    platform::sim::SimWorld world{clock};
    InProcessApp app{clock, world.platform()};
};

}  // namespace ostrovane::test
