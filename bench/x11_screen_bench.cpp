// Whole-process screen benchmarks on a private Xvfb showing the animated
// test pattern (tools/testpattern) over the whole screen, with no sound
// server:
// - CPU per frame of the helper's START_VIDEO next to `ffmpeg -f x11grab …
//   -c:v libx264 -preset veryfast -tune zerolatency` filming the same thing
//   at the same size, rate and bit rate over the same time: the pattern
//   window against x11grab of the window's area; a display (which the
//   helper captures at half its size) against x11grab of the display scaled
//   to that size. Three windows of time; the counters are their medians;
// - the XShm grab of one 1080p frame, in process;
// - SCREENSHOT of the 1080p screen and LIST_WINDOWS with 20 windows, round
//   trips through a running helper.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
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

// Xvfb with the test pattern (and `windows` - 1 small titled windows) on it,
// or with one of the scenes of bench/scene.
class ScreenRig {
  public:
    explicit ScreenRig(int windows, const std::string& screen = "1920x1080x24",
                       const std::string& scene = {})
        : x_({}, screen) {
        if (!x_.ready())
            return;
        pattern_ = std::make_unique<Subprocess>(
            scene.empty() ? std::vector<std::string>{OSTROVANE_TEST_PATTERN, "--display", x_.name(),
                                                     "--windows", std::to_string(windows - 1)}
                          : std::vector<std::string>{OSTROVANE_BENCH_SCENE, "--display", x_.name(),
                                                     "--scene", scene});
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

// What one comparison films: the helper's START_VIDEO target and the
// encoded size, on a screen of its own size.
struct Filming {
    bool window;
    std::string screen;  // Xvfb's screen, width x height
    int width, height;   // encoded size
    int fps;
    // False: the helper alone, to see whether it keeps its frame rate.
    bool besideFfmpeg = true;
    // What is on the screen: the test pattern, or a scene of bench/scene.
    std::string scene = {};
};

// The frames ffmpeg reported so far on its progress output ("frame=N").
std::size_t ffmpegFrames(const test::LineCollector& progress) {
    const auto lines = progress.lines();
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (it->rfind("frame=", 0) == 0)
            return std::stoul(it->substr(6));
    }
    return 0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void filmBesideFfmpeg(benchmark::State& state, const Filming& filming) {
    ScreenRig rig(1, filming.screen + "x24", filming.scene);
    if (!rig.ready()) {
        state.SkipWithError("Xvfb or the test pattern did not start");
        return;
    }
    auto helper = helperOn(rig);
    std::string target = "{\"type\":\"window\",\"id\":" + rig.window();
    if (!filming.window) {
        auto list = answerTo(*helper, "LIST_WINDOWS", "CMD_RESPONSE:LIST_WINDOWS:");
        const auto at = list ? list->find("\"id\":") : std::string::npos;
        if (at == std::string::npos) {
            state.SkipWithError("no display listed");
            return;
        }
        target = "{\"type\":\"display\",\"id\":" +
                 list->substr(at + 5, list->find_first_of(",}", at) - at - 5);
    }
    // A display is captured at half the size asked for.
    const int factor = filming.window ? 1 : 2;
    const auto fps = std::to_string(filming.fps);
    if (!ask(*helper,
             "START_VIDEO:" + target + ",\"width\":" + std::to_string(filming.width * factor) +
                 ",\"height\":" + std::to_string(filming.height * factor) + ",\"fps\":" + fps +
                 ",\"bitrate\":2000000}",
             "CMD_RESPONSE:START_VIDEO:started")) {
        state.SkipWithError("START_VIDEO did not start");
        return;
    }
    const std::string size = std::to_string(filming.width) + ":" + std::to_string(filming.height);
    std::vector<std::string> ffmpeg{"/usr/bin/ffmpeg", "-nostdin", "-v",
                                    "error",           "-nostats", "-progress",
                                    "pipe:1",          "-f",       "x11grab",
                                    "-framerate",      fps,        "-video_size",
                                    filming.screen,    "-i",       rig.display() + "+0,0"};
    if (!filming.window)
        ffmpeg.insert(ffmpeg.end(), {"-vf", "scale=" + size});
    ffmpeg.insert(ffmpeg.end(),
                  {"-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-b:v", "2M",
                   "-g", fps, "-bf", "0", "-f", "h264", "-y", "/dev/null"});
    std::optional<Subprocess> reference;
    std::optional<test::LineCollector> progress;
    if (filming.besideFfmpeg) {
        reference.emplace(ffmpeg);
        reference->closeInput();
        progress.emplace(reference->takeOutput().release());
    }
    std::this_thread::sleep_for(kWarmUp);

    const auto window = measuredWindow(10s);
    const double seconds = std::chrono::duration<double>(window).count();
    std::vector<double> ours, theirs, ratios, rates, cpuRatios, helperCpuShare;
    for (auto _ : state) {
        for (int run = 0; run < 3; ++run) {
            CpuWindow helperCpu({helper->pid()});
            CpuWindow ffmpegCpu(reference ? std::vector<pid_t>{reference->pid()}
                                          : std::vector<pid_t>{});
            helperCpu.start();
            ffmpegCpu.start();
            const std::size_t helperFrames0 = videoFrameCount(*helper);
            const std::size_t ffmpegFrames0 = progress ? ffmpegFrames(*progress) : 0;
            std::this_thread::sleep_for(window);
            const auto helperSeconds = helperCpu.elapsed(), ffmpegSeconds = ffmpegCpu.elapsed();
            const std::size_t helperFrames = videoFrameCount(*helper) - helperFrames0;
            if (!helperSeconds || helperFrames == 0) {
                state.SkipWithError("the helper went away or no video frames came");
                return;
            }
            ours.push_back(*helperSeconds * 1000 / double(helperFrames));
            rates.push_back(double(helperFrames) / seconds);
            if (!progress)
                continue;
            const std::size_t referenceFrames = ffmpegFrames(*progress) - ffmpegFrames0;
            if (!ffmpegSeconds || referenceFrames == 0) {
                state.SkipWithError("ffmpeg went away or reported no frames");
                return;
            }
            theirs.push_back(*ffmpegSeconds * 1000 / double(referenceFrames));
            ratios.push_back(ours.back() / theirs.back());
            // The whole CPU of each over the same window: the helper sends
            // fewer frames when little changes.
            cpuRatios.push_back(*helperSeconds / *ffmpegSeconds);
            helperCpuShare.push_back(*helperSeconds / seconds * 100);
        }
        state.SetIterationTime(3 * seconds);
    }
    if (reference) {
        reference->kill(SIGTERM);
        reference->waitForExit(5s);
        state.counters["ffmpeg_ms_per_frame"] = median(theirs);
        state.counters["helper_to_ffmpeg"] = median(ratios);
        state.counters["helper_to_ffmpeg_cpu"] = median(cpuRatios);
        state.counters["helper_cpu_percent"] = median(helperCpuShare);
    }
    state.counters["helper_ms_per_frame"] = median(ours);
    state.counters["helper_fps"] = median(rates);
}

void BM_X11VideoCpuVersusFfmpeg(benchmark::State& state, Filming filming) {
    filmBesideFfmpeg(state, filming);
}
BENCHMARK_CAPTURE(BM_X11VideoCpuVersusFfmpeg, window1080p,
                  Filming{true, "1920x1080", 1920, 1080, 10})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_X11VideoCpuVersusFfmpeg, display1080pAt540p,
                  Filming{false, "1920x1080", 960, 540, 10})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_X11VideoCpuVersusFfmpeg, display2160pAt1080p30,
                  Filming{false, "3840x2160", 1920, 1080, 30, false})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// The scenes of a meeting on a 1920x1080 display filmed at 960x540 and 10
// fps: the whole CPU of the helper against ffmpeg's over the same windows
// (helper_to_ffmpeg_cpu), since the helper sends a frame only when the
// picture changed.
BENCHMARK_CAPTURE(BM_X11VideoCpuVersusFfmpeg, sceneStill,
                  Filming{false, "1920x1080", 960, 540, 10, true, "still"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_X11VideoCpuVersusFfmpeg, sceneSlides,
                  Filming{false, "1920x1080", 960, 540, 10, true, "slides"})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_X11VideoCpuVersusFfmpeg, sceneGrid,
                  Filming{false, "1920x1080", 960, 540, 10, true, "grid"})
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
