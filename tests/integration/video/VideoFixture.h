#pragma once

#include <nlohmann/json.hpp>

#include "integration/AppOnSimMachine.h"
#include "platform/encoding/Base64.h"

namespace ostrovane::test {

// The app on a simulated machine with one microphone and main display 1 of
// 1920 × 1080.
class VideoFixture : public AppOnSimMachine {
  protected:
    VideoFixture() { world.addTypicalMachine(); }

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
};

}  // namespace ostrovane::test
