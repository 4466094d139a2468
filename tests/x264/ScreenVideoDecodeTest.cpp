// The video commands on the simulated screen with the real encoder: what the
// helper writes decodes with ffmpeg to the captured content, with a keyframe
// after the start and after a switch, and times and sequence numbers that
// continue across the switch.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "dispatch/ManualClock.h"
#include "platform/sim/SimWorld.h"
#include "platform/x264/X264VideoEncoders.h"
#include "support/InProcessApp.h"
#include "support/ToolOutput.h"

namespace ostrovane::test {
namespace {

const std::string kFfprobe = "/usr/bin/ffprobe", kFfmpeg = "/usr/bin/ffmpeg";

platform::Platform withX264(platform::Platform p) {
    p.videoEncoders = std::make_shared<platform::x264::X264VideoEncoders>();
    return p;
}

class ScreenVideoDecode : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(kFfprobe) || !std::filesystem::exists(kFfmpeg))
            GTEST_SKIP()
                << "ffprobe/ffmpeg not installed (scripts/install-deps.sh installs ffmpeg)";
        world.addTypicalMachine();
        world.screen().addWindow({42, "Notes", {300, 200, 640, 480}, std::nullopt});
    }
    void TearDown() override { std::filesystem::remove(file); }

    // One frame interval at a time, each waited for until the encoder has
    // written its frame: the manual clock would otherwise deliver images
    // faster than any encoder, and the busy encoder would drop them.
    void capture(int frames) {
        for (int i = 0; i < frames; ++i) {
            const std::size_t before = videoFrameCount();
            clock.advanceSeconds(0.1);
            for (int wait = 0; wait < 500 && videoFrameCount() == before; ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::size_t videoFrameCount() const {
        const auto all = app.frames();
        return static_cast<std::size_t>(
            std::count_if(all.begin(), all.end(), [](const auto& f) { return f.isVideo(); }));
    }

    void ask(const std::string& command, const std::string& answer) {
        const std::size_t from = app.lines().size();
        app.send(command);
        ASSERT_TRUE(app.answer(answer, from)) << command;
    }

    dispatch::ManualClock clock{1'765'000'000.0};
    platform::sim::SimWorld world{clock};
    SettleOnExit settleOnExit{clock};
    InProcessApp app{clock, withX264(world.platform())};
    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("ostrovane-video-" + std::to_string(::getpid()) + ".h264");
};

TEST_F(ScreenVideoDecode, TheStreamDecodesToTheCapturedTargetsAcrossASwitch) {
    ask(R"(START_VIDEO:{"type":"display","id":1})", "START_VIDEO:started");
    capture(15);
    ask(R"(SWITCH_VIDEO:{"type":"window","id":42})", "SWITCH_VIDEO:switched");
    capture(15);
    // The stop waits for the encoder's last frame.
    ask("STOP_VIDEO", "STOP_VIDEO:stopped");

    std::ofstream out(file, std::ios::binary);
    std::vector<protocol::Frame> frames;
    for (auto& frame : app.frames()) {
        if (!frame.isVideo())
            continue;
        out.write(reinterpret_cast<const char*>(frame.payload.data()),
                  static_cast<std::streamsize>(frame.payload.size()));
        frames.push_back(std::move(frame));
    }
    out.close();
    ASSERT_EQ(frames.size(), 30u);

    // Keyframes at the start, every 10 frames, and right after the switch;
    // times and sequence numbers go on across it.
    std::vector<std::size_t> keyframes;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].sequence, i);
        if (i > 0) {
            EXPECT_GT(frames[i].video().pts, frames[i - 1].video().pts);
        }
        if (frames[i].video().isKeyframe())
            keyframes.push_back(i);
    }
    EXPECT_EQ(keyframes, (std::vector<std::size_t>{0, 10, 15, 25}));

    const auto probed =
        toolOutput({kFfprobe, "-v", "error", "-show_entries", "frame=key_frame,width,height", "-of",
                    "csv=p=0", file.string()});
    ASSERT_TRUE(probed);
    std::istringstream lines(*probed);
    std::vector<std::string> decoded;
    for (std::string line; std::getline(lines, line);)
        decoded.push_back(line);
    ASSERT_EQ(decoded.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(decoded[i], std::string(frames[i].video().isKeyframe() ? "1" : "0") + ",960,540")
            << "frame " << i;
    }

    // The display's colour before the switch, the window's after it.
    const auto rgb = toolOutput(
        {kFfmpeg, "-v", "error", "-i", file.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    ASSERT_TRUE(rgb);
    ASSERT_EQ(rgb->size(), frames.size() * 960 * 540 * 3);
    auto centre = [&](std::size_t frame) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(rgb->data()) +
                        ((frame * 540 + 270) * 960 + 480) * 3;
        return std::array<int, 3>{p[0], p[1], p[2]};
    };
    const std::array<int, 3> display{40, 91, 37}, window{200, 238, 18};
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(centre(0)[c], display[c], 4) << "channel " << c;
        EXPECT_NEAR(centre(frames.size() - 1)[c], window[c], 4) << "channel " << c;
    }
}

}  // namespace
}  // namespace ostrovane::test
