// Whole-process screen benchmark in a private headless Wayland session
// (sway, PipeWire, the desktop portal), a terminal printing the time on the
// 1280×720 output so that the compositor keeps sending frames: CPU per frame
// of the helper's START_VIDEO of the output (960×540 at 30 fps, 2 Mbit/s,
// x264 veryfast) next to GStreamer filming a portal stream of the same
// output at the same settings
// (`pipewiresrc ! videoconvert ! videoscale ! x264enc`), over the same
// window; and the time from START_VIDEO to the first video frame, the
// portal's grant included.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <sstream>
#include <thread>

#include "CaptureRig.h"
#include "HelperCommands.h"
#include "ProcessCpu.h"
#include "servers/PrivateWaylandSession.h"
#include "support/HelperProcess.h"
#include "support/LineCollector.h"
#include "support/ToolOutput.h"
#include "util/Subprocess.h"

namespace {

using namespace ostrovane;
using namespace ostrovane::bench;
using namespace std::chrono_literals;

constexpr auto kWarmUp = 3s;

// Frames of an H.264 file as far as it is written.
std::optional<double> framesIn(const std::string& path) {
    auto out =
        test::toolOutput({"/usr/bin/ffprobe", "-v", "error", "-count_frames", "-select_streams",
                          "v:0", "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path});
    double frames = 0;
    if (!out || !(std::istringstream(*out) >> frames))
        return std::nullopt;
    return frames;
}

// Argument 1: a terminal prints the time on the output; 0: the output
// stands still, where the compositor sends nothing new.
void BM_WaylandVideoCpuVersusGstreamer(benchmark::State& state) {
    const bool moving = state.range(0) != 0;
    test::PrivateWaylandSession session;
    std::string failure;
    if (!session.ready(failure)) {
        state.SkipWithError(("the Wayland session did not start: " + failure).c_str());
        return;
    }
    if (moving)
        session.startMovingContent();
    test::HelperProcess helper(
        OSTROVANE_BINARY,
        test::HelperProcess::Context{session.environment(), session.uid(), session.gid()});
    auto list = answerTo(helper, "LIST_WINDOWS", "CMD_RESPONSE:LIST_WINDOWS:");
    const auto idAt = list ? list->find("\"id\":") : std::string::npos;
    if (idAt == std::string::npos) {
        state.SkipWithError("no display listed");
        return;
    }
    const std::string id = list->substr(idAt + 5, list->find_first_of(",}", idAt) - idAt - 5);
    const auto sent = std::chrono::steady_clock::now();
    auto started = answerTo(helper,
                            "START_VIDEO:{\"type\":\"display\",\"id\":" + id +
                                ",\"width\":960,\"height\":540,\"fps\":30,\"bitrate\":2000000}",
                            "CMD_RESPONSE:START_VIDEO:");
    if (started != "started") {
        state.SkipWithError(("START_VIDEO: " + started.value_or("no answer")).c_str());
        return;
    }
    const auto answered = std::chrono::steady_clock::now();
    while (videoFrameCount(helper) == 0 && std::chrono::steady_clock::now() - sent < 10s)
        std::this_thread::sleep_for(2ms);
    const auto firstFrame = std::chrono::steady_clock::now();

    const std::string encoded = session.directory() + "/gstreamer.h264";
    Subprocess::Options options;
    options.environment = session.environment();
    options.user = session.uid();
    options.group = session.gid();
    Subprocess reference({"/usr/bin/python3",
                          OSTROVANE_PORTAL_CAST,
                          "/usr/bin/gst-launch-1.0",
                          "-q",
                          "pipewiresrc",
                          "fd={fd}",
                          "path={node}",
                          "always-copy=false",
                          "!",
                          "videoconvert",
                          "!",
                          "videoscale",
                          "!",
                          "video/x-raw,width=640,height=360",
                          "!",
                          "x264enc",
                          "speed-preset=veryfast",
                          "tune=zerolatency",
                          "bitrate=2000",
                          "key-int-max=30",
                          "bframes=0",
                          "!",
                          "filesink",
                          "location=" + encoded},
                         options);
    reference.closeInput();
    test::LineCollector said(reference.takeOutput().release());
    // GStreamer ends (through the script) before the reader of the script's
    // output is joined, on every way out.
    struct Ending {
        Subprocess& script;
        ~Ending() {
            script.kill(SIGTERM);
            script.waitForExit(5s);
        }
    } ending{reference};
    std::optional<pid_t> gstreamer;
    if (said.waitForLineCount(1, 20s)) {
        const std::string line = said.lines().front();
        if (line.rfind("PID ", 0) == 0)
            gstreamer = static_cast<pid_t>(std::stol(line.substr(4)));
    }
    if (!gstreamer) {
        state.SkipWithError("GStreamer did not get a portal stream");
        return;
    }
    std::this_thread::sleep_for(kWarmUp);

    const auto window = measuredWindow(10s);
    CpuWindow helperCpu({helper.pid()}), gstreamerCpu({*gstreamer});
    const std::size_t helperFrames0 = videoFrameCount(helper);
    // A still output may leave GStreamer's file empty: no frames.
    const double gstreamerFrames0 = framesIn(encoded).value_or(0);
    for (auto _ : state) {
        helperCpu.start();
        gstreamerCpu.start();
        std::this_thread::sleep_for(window);
        state.SetIterationTime(std::chrono::duration<double>(window).count());
    }
    const auto helperSeconds = helperCpu.elapsed(), gstreamerSeconds = gstreamerCpu.elapsed();
    const std::size_t helperFrames = videoFrameCount(helper) - helperFrames0;
    const double gstreamerFrames1 = framesIn(encoded).value_or(0);
    // A still output gives GStreamer nothing to encode: only CPU compares.
    if (!helperSeconds || !gstreamerSeconds || helperFrames == 0 ||
        (moving && gstreamerFrames1 <= gstreamerFrames0)) {
        state.SkipWithError("a process went away or no video frames came");
        return;
    }
    const double seconds = std::chrono::duration<double>(window).count();
    const double gstreamerFrames = gstreamerFrames1 - gstreamerFrames0;
    state.counters["helper_cpu_ms_per_s"] = *helperSeconds * 1000 / seconds;
    state.counters["gstreamer_cpu_ms_per_s"] = *gstreamerSeconds * 1000 / seconds;
    if (*gstreamerSeconds > 0)
        state.counters["helper_cpu_to_gstreamer_cpu"] = *helperSeconds / *gstreamerSeconds;
    if (gstreamerFrames > 0) {
        const double ours = *helperSeconds * 1000 / double(helperFrames);
        const double theirs = *gstreamerSeconds * 1000 / gstreamerFrames;
        state.counters["helper_ms_per_frame"] = ours;
        state.counters["gstreamer_ms_per_frame"] = theirs;
        state.counters["helper_to_gstreamer"] = ours / theirs;
    }
    state.counters["helper_fps"] = double(helperFrames) / seconds;
    state.counters["gstreamer_fps"] = gstreamerFrames / seconds;
    state.counters["start_answer_ms"] =
        std::chrono::duration<double, std::milli>(answered - sent).count();
    state.counters["first_frame_ms"] =
        std::chrono::duration<double, std::milli>(firstFrame - sent).count();
}
BENCHMARK(BM_WaylandVideoCpuVersusGstreamer)
    ->ArgName("moving")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
