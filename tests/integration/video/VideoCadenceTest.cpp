#include "integration/video/VideoFixture.h"

namespace ostrovane::test {
namespace {

// What a parent sees of a frame: its sequence number, presentation time and
// whether it is a keyframe.
struct Seen {
    std::uint32_t sequence;
    std::uint64_t pts;
    bool keyframe;
    bool operator==(const Seen&) const = default;
    friend void PrintTo(const Seen& s, std::ostream* out) {
        *out << "#" << s.sequence << " @" << s.pts << (s.keyframe ? " key" : "");
    }
};

class VideoCadence : public VideoFixture {
  protected:
    std::vector<Seen> seen() const {
        std::vector<Seen> out;
        for (const auto& frame : videoFrames()) {
            out.push_back({frame.sequence, frame.video().pts, frame.video().isKeyframe()});
        }
        return out;
    }
    std::vector<Seen> seenSince(std::size_t first) const {
        auto all = seen();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())), all.end()};
    }
};

// Frames at 10 fps come 100 ms apart; the first one's capture is time 0.
constexpr std::uint64_t kTick = 100'000;

TEST_F(VideoCadence, AStillScreenSendsItsPictureOnceASecondWithAKeyframeEveryTwoSeconds) {
    world.screen().setStill(true);
    ASSERT_EQ(ask(R"(START_VIDEO:{"type":"display","id":1})"), "START_VIDEO:started");
    clock.advanceSeconds(0.15);
    // The first picture comes at once though nothing changed.
    EXPECT_EQ(seen(), (std::vector<Seen>{{0, 0, true}}));

    clock.advanceSeconds(4.0);
    EXPECT_EQ(seen(), (std::vector<Seen>{{0, 0, true},
                                         {1, 10 * kTick, false},
                                         {2, 20 * kTick, true},
                                         {3, 30 * kTick, false},
                                         {4, 40 * kTick, true}}));
    // Nothing else reached the encoder while the screen stood still.
    EXPECT_EQ(world.videoEncoders().framesSubmitted(), 5);
    EXPECT_EQ(pngSize(ask("SNAPSHOT_NOW:0").substr(13)), std::pair(960u, 540u));

    // A change shows at the next tick; the repeats then count from it.
    clock.advanceSeconds(0.22);  // 4.37 s after the first picture
    world.screen().repaint();
    clock.advanceSeconds(1.1);
    EXPECT_EQ(seenSince(5), (std::vector<Seen>{{5, 43 * kTick, false}, {6, 53 * kTick, false}}));

    // A switch to a still window: its first picture at once, as a keyframe.
    world.screen().addWindow({42, "Notes", {300, 200, 640, 480}, std::nullopt});
    ASSERT_EQ(ask(R"(SWITCH_VIDEO:{"type":"window","id":42})"), "SWITCH_VIDEO:switched");
    clock.advanceSeconds(0.1);
    const auto afterSwitch = seenSince(7);
    ASSERT_EQ(afterSwitch.size(), 1u);
    EXPECT_EQ(afterSwitch[0].sequence, 7u);
    EXPECT_TRUE(afterSwitch[0].keyframe);
}

TEST_F(VideoCadence, AMovingScreenHasAKeyframeEveryFpsFrames) {
    ASSERT_EQ(ask(R"(START_VIDEO:{"type":"display","id":1,"fps":4})"), "START_VIDEO:started");
    clock.advanceSeconds(3.1);
    const auto frames = seen();
    ASSERT_GE(frames.size(), 12u);
    for (std::size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i], (Seen{std::uint32_t(i), i * 250'000, i % 4 == 0})) << i;
}

}  // namespace
}  // namespace ostrovane::test
