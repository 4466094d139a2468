#include <future>

#include "integration/video/VideoFixture.h"
#include "platform/VideoEncoder.h"
#include "support/MemoryChannels.h"
#include "video/ScreenVideoSource.h"

namespace ostrovane::test {
namespace {

using platform::sim::SimOutcome;

// ---- refusals: one command on a fresh helper, one answer ----

struct Refusal {
    std::string command;
    std::string answer;  // a trailing '*' matches any rest
    friend void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.command; }
};

class VideoRefusals : public VideoFixture, public ::testing::WithParamInterface<Refusal> {};

TEST_P(VideoRefusals, AnswerAndStartNothing) {
    const Refusal& c = GetParam();
    const std::string got = ask(c.command);
    if (c.answer.ends_with('*'))
        EXPECT_TRUE(got.starts_with(c.answer.substr(0, c.answer.size() - 1))) << got;
    else
        EXPECT_EQ(got, c.answer);
    EXPECT_EQ(world.screen().capturingStreams(), 0u);
}

const Refusal kRefusals[] = {
    {"START_VIDEO", R"(START_VIDEO:error:targetNotFound("Display 0 not found"))"},
    {R"(START_VIDEO:{"type":"window","id":77})",
     R"(START_VIDEO:error:targetNotFound("Window 77 not found"))"},
    {"START_VIDEO:[1]", "START_VIDEO:error:invalid_json"},
    {"START_VIDEO:nope", "START_VIDEO:error:[json.exception.parse_error*"},
    {R"(START_VIDEO:{"id":1,"width":0})", "START_VIDEO:error:invalid_width"},
    {R"(START_VIDEO:{"id":1,"height":65536})", "START_VIDEO:error:invalid_height"},
    {R"(START_VIDEO:{"id":1,"fps":256})", "START_VIDEO:error:invalid_fps"},
    {R"(START_VIDEO:{"id":1,"bitrate":999})", "START_VIDEO:error:invalid_bitrate"},
    {R"(SWITCH_VIDEO:{"type":"display","id":0})", "SWITCH_VIDEO:error:invalid_target_id"},
    {R"(SWITCH_VIDEO:{"type":"display","id":-3})", "SWITCH_VIDEO:error:invalid_target_id"},
    {R"(SWITCH_VIDEO:{"type":"screen","id":4294967296})", "SWITCH_VIDEO:error:invalid_target_id"},
    {R"(SWITCH_VIDEO:{"type":"display","id":"1"})", "SWITCH_VIDEO:error:invalid_target_id"},
    {R"(SWITCH_VIDEO:{"id":1})", "SWITCH_VIDEO:error:invalid_target_type"},
    {R"(SWITCH_VIDEO:{"type":"display","id":1})", "SWITCH_VIDEO:error:not_active"},
    {"SWITCH_VIDEO:\"x\"", "SWITCH_VIDEO:error:invalid_json"},
    {"STOP_VIDEO", "STOP_VIDEO:not_active"},
    {"SNAPSHOT_NOW:640", "SNAPSHOT_NOW:error:no_capture"}};
INSTANTIATE_TEST_SUITE_P(Commands, VideoRefusals, ::testing::ValuesIn(kRefusals));

// ---- a capture from start to stop, as the parent sees it ----

TEST_F(VideoFixture, DisplayCaptureStreamsPacedKeyframedFramesAndSurvivesASwitch) {
    // A mistyped width counts as absent: the header carries 1920.
    ASSERT_EQ(ask(R"(START_VIDEO:{"type":"display","id":1,"width":"640"})"), "START_VIDEO:started");
    EXPECT_EQ(ask("SNAPSHOT_NOW"), "SNAPSHOT_NOW:error:no_frame");
    clock.advanceSeconds(2.0);

    auto frames = videoFrames();
    ASSERT_GE(frames.size(), 19u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& v = frames[i].video();
        EXPECT_EQ(std::tuple(frames[i].sequence, v.width, v.height, v.fps, v.pts, v.isKeyframe()),
                  std::tuple(i, 1920, 1080, 10, i * 100'000, i % 10 == 0))
            << "frame " << i;
        // Keyframes start with the SPS, every frame is Annex B.
        EXPECT_EQ(head(frames[i], 5), (std::vector<std::uint8_t>{
                                          0, 0, 0, 1, std::uint8_t(v.isKeyframe() ? 0x67 : 0x41)}));
    }
    // The encoder is asked for a keyframe at least once a second too.
    const auto encoder = world.videoEncoders().created().back();
    EXPECT_EQ(std::pair(encoder.width, encoder.maxKeyframeInterval), std::pair(960, 10));

    EXPECT_EQ(ask(R"(START_VIDEO:{"id":1})"), "START_VIDEO:error:already_active");
    // A broken argument leaves the running capture alone.
    EXPECT_TRUE(ask("START_VIDEO:{").starts_with("START_VIDEO:error:"));
    EXPECT_EQ(world.screen().capturingStreams(), 1u);

    for (auto [argument, width, height] : {std::tuple{" 640 ", 640u, 360u},
                                           {"0", 960u, 540u},
                                           {"abc", 320u, 180u},
                                           {"4000", 960u, 540u}}) {
        const std::string png = ask("SNAPSHOT_NOW:" + std::string(argument));
        ASSERT_TRUE(png.starts_with("SNAPSHOT_NOW:")) << png;
        EXPECT_EQ(pngSize(png.substr(13)), std::pair(width, height)) << argument;
    }

    // The switch falls between periodic keyframes: only a forced one lets a
    // viewer show the new target at once.
    clock.advanceSeconds(0.45);
    frames = videoFrames();
    ASSERT_NE(frames.size() % 10, 0u);
    world.screen().addWindow({42, "Notes", {300, 200, 640, 480}, std::nullopt});
    ASSERT_EQ(ask(R"(SWITCH_VIDEO:{"type":"window","id":42})"), "SWITCH_VIDEO:switched");
    EXPECT_EQ(ask("SNAPSHOT_NOW"), "SNAPSHOT_NOW:error:no_frame");
    clock.advanceSeconds(0.35);
    const auto after = videoFrames();
    ASSERT_GT(after.size(), frames.size());
    const auto& first = after[frames.size()];
    EXPECT_EQ(first.sequence, frames.size());
    EXPECT_TRUE(first.video().isKeyframe());
    EXPECT_EQ(head(first, 5), (std::vector<std::uint8_t>{0, 0, 0, 1, 0x67}));
    EXPECT_GT(first.video().pts, frames.back().video().pts);
    EXPECT_TRUE(world.screen().streams().back()->shows(
        world.screen().makeFilter(platform::Window{42, "Notes", {}, {}})));

    EXPECT_EQ(ask("STOP_VIDEO"), "STOP_VIDEO:stopped");
    EXPECT_EQ(world.screen().capturingStreams(), 0u);
    EXPECT_EQ(ask("STOP_VIDEO"), "STOP_VIDEO:not_active");
    EXPECT_EQ(ask("SNAPSHOT_NOW"), "SNAPSHOT_NOW:error:no_capture");
}

TEST_F(VideoFixture, CaptureSizeFollowsTheDisplayAndTheRequest) {
    struct Case {
        platform::sim::SimDisplaySpec display;
        std::int32_t width, height;
    };
    const Case cases[] = {
        {{.id = 2, .width = 2880, .height = 1800}, 1440, 900},
        {{.id = 3, .width = 1024, .height = 768}, 640, 384},
        {{.id = 4, .width = 3840, .height = 2160}, 1920, 1080},
        {{.id = 5, .width = 1366, .height = 768}, 683, 384},
    };
    for (const Case& c : cases) {
        world.screen().addDisplay(c.display);
        ASSERT_EQ(ask(R"(START_VIDEO:{"id":)" + std::to_string(c.display.id) + "}"),
                  "START_VIDEO:started");
        const auto created = world.videoEncoders().created().back();
        EXPECT_EQ(std::pair(created.width, created.height), std::pair(c.width, c.height))
            << c.display.width;
        ASSERT_EQ(ask("STOP_VIDEO"), "STOP_VIDEO:stopped");
    }
    // A window is captured at the requested size, whatever its own.
    world.screen().addWindow({9, "Tiny", {0, 0, 200, 150}, std::nullopt});
    ASSERT_EQ(ask(R"(START_VIDEO:{"type":"window","id":9,"width":800,"height":600})"),
              "START_VIDEO:started");
    EXPECT_EQ(world.videoEncoders().created().back().width, 800);
    EXPECT_EQ(world.screen().streams().back()->configuration().height, 600);
    // STOP ends a running capture too.
    ASSERT_EQ(ask("STOP", "STOPPED:"), "STOPPED:ok");
    EXPECT_EQ(world.screen().capturingStreams(), 0u);
}

// ---- the capture ends by itself ----

struct StreamEnd {
    const char* name;
    std::function<void(platform::sim::SimWorld&)> before;  // before START_VIDEO
    std::function<void(platform::sim::SimWorld&)> after;   // once it runs
    std::string event;
    friend void PrintTo(const StreamEnd& end, std::ostream* out) { *out << end.name; }
};

class VideoStreamEnds : public VideoFixture, public ::testing::WithParamInterface<StreamEnd> {};

TEST_P(VideoStreamEnds, AreReportedAndTheNextStartCleansUp) {
    const StreamEnd& c = GetParam();
    c.before(world);
    ASSERT_EQ(ask(R"(START_VIDEO:{"id":1})"), "START_VIDEO:started");
    clock.advanceSeconds(0.2);
    c.after(world);
    clock.advanceSeconds(0.2);
    EXPECT_TRUE(hasLine("EVENT:VIDEO_STREAM_ERROR:" + c.event));
    EXPECT_EQ(world.screen().capturingStreams(), 0u);
    // The source stops itself after the event; a start before that answers
    // already_active, as it would to a parent.
    ASSERT_TRUE(hasLine("ScreenVideoSource: stopped"));
    // The next start clears the dead source out of its slot, even when it fails.
    EXPECT_EQ(ask(R"(START_VIDEO:{"type":"window","id":77})"),
              R"(START_VIDEO:error:targetNotFound("Window 77 not found"))");
    EXPECT_EQ(ask("STOP_VIDEO"), "STOP_VIDEO:not_active");
    EXPECT_EQ(ask("SNAPSHOT_NOW"), "SNAPSHOT_NOW:error:no_capture");
    const std::size_t before = videoFrames().size();
    ASSERT_EQ(ask(R"(START_VIDEO:{"id":1})"), "START_VIDEO:started");
    EXPECT_EQ(world.screen().capturingStreams(), 1u);
    // The new capture counts its frames and times from zero again.
    clock.advanceSeconds(0.2);
    const auto frames = videoFrames();
    ASSERT_GT(frames.size(), before);
    EXPECT_EQ(frames[before].sequence, 0u);
    EXPECT_EQ(frames[before].video().pts, 0u);
    EXPECT_TRUE(frames[before].video().isKeyframe());
}

INSTANTIATE_TEST_SUITE_P(
    Video, VideoStreamEnds,
    ::testing::Values(StreamEnd{"startRefused",
                                [](auto& w) {
                                    w.screen().pushStartOutcome(SimOutcome::fail(
                                        {"SCStreamErrorDomain", -3801, "Start refused"}));
                                },
                                [](auto&) {}, "Start refused"},
                      StreamEnd{"stoppedByService", [](auto&) {},
                                [](auto& w) { w.screen().stopStreams(-3821, "The stream failed"); },
                                "The stream failed"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- encoder faults ----

TEST_F(VideoFixture, EncoderFaultsAreReportedAndABusyEncoderStillStartsWithAKeyframe) {
    world.videoEncoders().failCreation(-12902);
    EXPECT_EQ(ask(R"(START_VIDEO:{"id":1})"), "START_VIDEO:error:encoderCreationFailed(-12902)");
    world.videoEncoders().failCreation(0);

    world.videoEncoders().failEncode(platform::kEncoderBusy);
    ASSERT_EQ(ask(R"(START_VIDEO:{"id":1})"), "START_VIDEO:started");
    clock.advanceSeconds(0.5);
    EXPECT_TRUE(videoFrames().empty());
    world.videoEncoders().failEncode(0);
    clock.advanceSeconds(0.25);
    const auto frames = videoFrames();
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(frames.front().video().isKeyframe());
    EXPECT_EQ(frames.front().sequence, 0u);

    world.videoEncoders().failOutput(-12903);
    clock.advanceSeconds(0.1);
    EXPECT_TRUE(hasLine("ScreenVideoSource: encoder output error -12903"));
}

TEST_F(VideoFixture, AFailedSwitchKeepsTheCaptureAndAllowsTheNextSwitch) {
    ASSERT_EQ(ask(R"(START_VIDEO:{"id":1})"), "START_VIDEO:started");
    world.screen().addDisplay({.id = 2, .frame = {1920, 0, 1920, 1080}});
    world.screen().setUpdateOutcome(
        SimOutcome::fail({"SCStreamErrorDomain", -3802, "Filter refused"}));
    EXPECT_EQ(ask(R"(SWITCH_VIDEO:{"type":"display","id":2})"),
              R"(SWITCH_VIDEO:error:Error Domain=SCStreamErrorDomain Code=-3802 "Filter refused")");
    EXPECT_EQ(ask(R"(SWITCH_VIDEO:{"type":"display","id":7})"),
              R"(SWITCH_VIDEO:error:targetNotFound("Display 7 not found"))");
    world.screen().setUpdateOutcome(SimOutcome::succeed());
    EXPECT_EQ(ask(R"(SWITCH_VIDEO:{"type":"display","id":2})"), "SWITCH_VIDEO:switched");
    EXPECT_EQ(world.screen().capturingStreams(), 1u);
}

// Through the app a switch waits for its answer; the source itself refuses
// a second one while the first is pending.
TEST_F(VideoFixture, ASecondSwitchWhileOneIsPendingIsRefused) {
    world.screen().addDisplay({.id = 2, .frame = {1920, 0, 1920, 1080}});
    MemoryChannels channels;
    const auto p = world.platform();
    auto source = video::ScreenVideoSource::create(
        {p.screenCapture, p.videoEncoders, channels.text(), channels.frameWriter(), clock}, {});
    std::promise<std::optional<video::VideoError>> started;
    source->start("display", 1, [&](auto error) { started.set_value(error); });
    ASSERT_FALSE(started.get_future().get());

    world.screen().setUpdateOutcome(SimOutcome::never());
    source->switchTarget("display", 2, [](auto) { FAIL() << "the service never answers"; });
    clock.settle();
    std::optional<video::VideoError> second;
    source->switchTarget("display", 2, [&](auto error) { second = error; });
    EXPECT_EQ(second, video::VideoError{
                          video::VideoSourceError::targetNotFound("Switch already in progress")});
    source->stop();
}

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
    // The frames from the `first` on.
    std::vector<Seen> seen(std::size_t first = 0) const {
        std::vector<Seen> out;
        const auto frames = videoFrames();
        for (std::size_t i = first; i < frames.size(); ++i)
            out.push_back(
                {frames[i].sequence, frames[i].video().pts, frames[i].video().isKeyframe()});
        return out;
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
    EXPECT_EQ(seen(5), (std::vector<Seen>{{5, 43 * kTick, false}, {6, 53 * kTick, false}}));

    // A switch to a still window: its first picture at once, as a keyframe.
    world.screen().addWindow({42, "Notes", {300, 200, 640, 480}, std::nullopt});
    ASSERT_EQ(ask(R"(SWITCH_VIDEO:{"type":"window","id":42})"), "SWITCH_VIDEO:switched");
    clock.advanceSeconds(0.1);
    const auto afterSwitch = seen(7);
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
