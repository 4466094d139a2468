// Whole-process screen benchmarks on a private 1920×1080 Xvfb showing the
// animated test pattern (tools/testpattern), with no sound server:
// - CPU per frame of the helper's START_VIDEO (the pattern window at
//   960×540 and at 1920×1080, 10 fps, 2 Mbit/s, x264 veryfast) next to
//   `ffmpeg -f x11grab … -c:v libx264 -preset veryfast -tune zerolatency`
//   recording the same screen at the same settings over the same window;
// - the XShm grab of one 1080p frame, in process;
// - SCREENSHOT of the 1080p screen and LIST_WINDOWS with 20 windows, round
//   trips through a running helper.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <cstdlib>
#include <thread>

#include "CaptureRig.h"
#include "HelperCommands.h"
#include "ProcessCpu.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Connection.h"
#include "support/HelperProcess.h"
#include "support/LineCollector.h"
#include "support/PrivateXServer.h"
#include "util/Subprocess.h"

namespace {

using namespace ostrovane;
using namespace ostrovane::bench;
using namespace std::chrono_literals;

constexpr auto kWarmUp = 3s;

// Xvfb with the test pattern (and `windows` - 1 small titled windows) on it.
class ScreenRig {
  public:
    explicit ScreenRig(int windows) {
        if (!x_.ready())
            return;
        pattern_ = std::make_unique<Subprocess>(
            std::vector<std::string>{OSTROVANE_TEST_PATTERN, "--display", x_.name(), "--windows",
                                     std::to_string(windows - 1)});
        patternOut_ = std::make_unique<test::LineCollector>(pattern_->takeOutput().release());
        if (patternOut_->waitForLineCount(1, 5s))
            window_ = patternOut_->lines().front();
    }
    ~ScreenRig() {
        if (pattern_) {
            pattern_->kill(SIGTERM);
            pattern_->waitForExit(5s);
        }
    }

    bool ready() const { return !window_.empty(); }
    const std::string& display() const { return x_.name(); }
    const std::string& window() const { return window_; }

  private:
    test::PrivateXServer x_;
    std::unique_ptr<Subprocess> pattern_;
    std::unique_ptr<test::LineCollector> patternOut_;
    std::string window_;
};

// The helper on the rig's display; no sound server answers it.
std::unique_ptr<test::HelperProcess> helperOn(const ScreenRig& rig) {
    ::setenv("DISPLAY", rig.display().c_str(), 1);
    ::setenv("PULSE_SERVER", "unix:/nonexistent/ostrovane-bench", 1);
    return std::make_unique<test::HelperProcess>(OSTROVANE_BINARY);
}

// Sends `command`; true once a line beginning with `answer` came.
bool ask(test::HelperProcess& helper, const std::string& command, const std::string& answer) {
    return answerTo(helper, command, answer).has_value();
}

void BM_X11VideoCpuVersusFfmpeg(benchmark::State& state) {
    const auto width = std::to_string(state.range(0)), height = std::to_string(state.range(1));
    ScreenRig rig(1);
    if (!rig.ready()) {
        state.SkipWithError("Xvfb or the test pattern did not start");
        return;
    }
    auto helper = helperOn(rig);
    if (!ask(*helper,
             "START_VIDEO:{\"type\":\"window\",\"id\":" + rig.window() + ",\"width\":" + width +
                 ",\"height\":" + height + ",\"fps\":10,\"bitrate\":2000000}",
             "CMD_RESPONSE:START_VIDEO:started")) {
        state.SkipWithError("START_VIDEO did not start");
        return;
    }
    std::vector<std::string> ffmpeg{
        "/usr/bin/ffmpeg", "-nostdin", "-v",          "error",     "-f", "x11grab",
        "-framerate",      "10",       "-video_size", "1920x1080", "-i", rig.display()};
    if (width != "1920")
        ffmpeg.insert(ffmpeg.end(), {"-vf", "scale=" + width + ":" + height});
    ffmpeg.insert(ffmpeg.end(),
                  {"-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-b:v", "2M",
                   "-g", "10", "-bf", "0", "-f", "h264", "-y", "/dev/null"});
    Subprocess reference(ffmpeg);
    reference.closeInput();
    std::this_thread::sleep_for(kWarmUp);

    const auto window = measuredWindow(10s);
    CpuWindow helperCpu({helper->pid()}), ffmpegCpu({reference.pid()});
    const std::size_t frames0 = videoFrameCount(*helper);
    for (auto _ : state) {
        helperCpu.start();
        ffmpegCpu.start();
        std::this_thread::sleep_for(window);
        state.SetIterationTime(std::chrono::duration<double>(window).count());
    }
    const auto helperSeconds = helperCpu.elapsed(), ffmpegSeconds = ffmpegCpu.elapsed();
    const std::size_t frames = videoFrameCount(*helper) - frames0;
    reference.kill(SIGTERM);
    reference.waitForExit(5s);
    if (!helperSeconds || !ffmpegSeconds || frames == 0) {
        state.SkipWithError("a process went away or no video frames came");
        return;
    }
    // x11grab paces itself at the frame rate it was given.
    const double ffmpegFrames = std::chrono::duration<double>(window).count() * 10;
    const double ours = *helperSeconds * 1000 / double(frames);
    const double theirs = *ffmpegSeconds * 1000 / ffmpegFrames;
    state.counters["helper_ms_per_frame"] = ours;
    state.counters["ffmpeg_ms_per_frame"] = theirs;
    state.counters["helper_to_ffmpeg"] = ours / theirs;
    state.counters["helper_fps"] = double(frames) / std::chrono::duration<double>(window).count();
}
BENCHMARK(BM_X11VideoCpuVersusFfmpeg)
    ->Args({960, 540})
    ->Args({1920, 1080})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// One 1080p frame of the pattern window through MIT-SHM, as a stream grabs.
void BM_X11ShmGrab1080p(benchmark::State& state) {
    ScreenRig rig(1);
    auto connection = rig.ready() ? platform::x11::X11Connection::open(rig.display(), 2s) : nullptr;
    if (!connection) {
        state.SkipWithError("Xvfb or the test pattern did not start");
        return;
    }
    platform::x11::X11Capture capture(*connection);
    platform::Window window;
    window.windowId = static_cast<platform::WindowId>(std::stoul(rig.window()));
    window.frame = platform::Rect{0, 0, 1920, 1080};
    platform::Image image(1920, 1080);
    if (capture.select(platform::ContentFilter{window, window.frame, 1.0})) {
        state.SkipWithError("the pattern window cannot be captured");
        return;
    }
    // The shared segment is made by the first grab; a freshly redirected
    // window may have nothing to show for a moment.
    bool grabbed = false;
    for (int i = 0; i < 50 && !grabbed; ++i) {
        grabbed = capture.grab(image, false) == platform::x11::GrabResult::ok;
        if (!grabbed)
            std::this_thread::sleep_for(20ms);
    }
    if (!grabbed || !capture.usesSharedMemory()) {
        state.SkipWithError(grabbed ? "no shared memory" : "no grab");
        return;
    }
    for (auto _ : state) {
        if (capture.grab(image, false) != platform::x11::GrabResult::ok) {
            state.SkipWithError("grab failed");
            return;
        }
        benchmark::DoNotOptimize(image.row(540));
    }
}
BENCHMARK(BM_X11ShmGrab1080p)->Unit(benchmark::kMillisecond);

// Round trips of one command through a running helper; `windows` windows
// are on the screen (the pattern counts as one).
void commandRoundTrip(benchmark::State& state, int windows, const std::string& command,
                      const std::string& answer) {
    ScreenRig rig(windows);
    if (!rig.ready()) {
        state.SkipWithError("Xvfb or the test pattern did not start");
        return;
    }
    auto helper = helperOn(rig);
    if (!ask(*helper, "HEALTH_CHECK", "CMD_RESPONSE:HEALTH_OK:")) {
        state.SkipWithError("the helper did not answer");
        return;
    }
    for (auto _ : state) {
        if (!ask(*helper, command, answer)) {
            state.SkipWithError("no answer");
            return;
        }
    }
}

void BM_X11Screenshot1080p(benchmark::State& state) {
    commandRoundTrip(state, 1, "SCREENSHOT", "CMD_RESPONSE:SCREENSHOT_DATA:");
}
BENCHMARK(BM_X11Screenshot1080p)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_X11ListWindows20(benchmark::State& state) {
    commandRoundTrip(state, 20, "LIST_WINDOWS", "CMD_RESPONSE:LIST_WINDOWS:[");
}
BENCHMARK(BM_X11ListWindows20)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
