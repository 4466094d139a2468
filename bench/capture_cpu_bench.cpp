// CPU the helper spends per minute of streaming a real microphone and the
// system audio from a private PulseAudio, next to what two plain `parec`
// recorders of the same two sources, in the same formats, spend over the same
// window: the cost of receiving the audio at all. Whole-process measurements
// (utime + stime from /proc/<pid>/stat) over OSTROVANE_BENCH_SECONDS (20 s by
// default), after 2 s of start-up. The sound server's own CPU over the window
// is reported too; it serves both.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <sstream>
#include <thread>
#include <utility>

#include "CaptureRig.h"
#include "ProcessCpu.h"
#include "StreamingHelper.h"

namespace {

using namespace ostrovane::bench;
using namespace std::chrono_literals;
using ostrovane::test::SpawnedClient;

constexpr auto kStartUp = 2s;

// One record stream on the server: the source it records and the sample
// format it asked for, as `pactl list short` shows them.
struct Recording {
    std::string source;
    std::string format;  // "float32le"
    std::string channels;
    std::string rate;
};

std::vector<std::string> columns(const std::string& line) {
    std::vector<std::string> result;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');)
        result.push_back(field);
    return result;
}

// The record streams the server has open now.
std::vector<Recording> recordings(CaptureRig& rig) {
    const auto sources = rig.pulse().pactl({"list", "short", "sources"});
    const auto outputs = rig.pulse().pactl({"list", "short", "source-outputs"});
    std::vector<Recording> result;
    if (!sources || !outputs)
        return result;
    std::istringstream outputLines(*outputs);
    for (std::string line; std::getline(outputLines, line);) {
        // index, source index, client, driver, "float32le 2ch 48000Hz"
        const auto output = columns(line);
        if (output.size() < 5)
            continue;
        Recording recording;
        std::istringstream sourceLines(*sources);
        for (std::string source; std::getline(sourceLines, source);) {
            const auto fields = columns(source);
            if (fields.size() >= 2 && fields[0] == output[1])
                recording.source = fields[1];
        }
        std::istringstream format(output[4]);
        format >> recording.format >> recording.channels >> recording.rate;
        recording.channels = recording.channels.substr(0, recording.channels.find("ch"));
        recording.rate = recording.rate.substr(0, recording.rate.find("Hz"));
        result.push_back(recording);
    }
    std::sort(result.begin(), result.end(),
              [](const Recording& a, const Recording& b) { return a.source < b.source; });
    return result;
}

std::string describe(const std::vector<Recording>& list) {
    std::string text;
    for (const auto& r : list) {
        text += (text.empty() ? "" : ", ") + r.source + " " + r.format + " " + r.channels + "ch " +
                r.rate + "Hz";
    }
    return text;
}

double perMinute(double cpuSeconds, std::chrono::milliseconds window) {
    return cpuSeconds * 60000.0 / static_cast<double>(window.count());
}

// Starts a parec recorder for each of `streams`, asking for the same format
// and the helper's ~10 ms fragments; their output goes to /dev/null.
std::vector<SpawnedClient> startParecs(CaptureRig& rig, const std::vector<Recording>& streams) {
    std::vector<SpawnedClient> parecs;
    for (const auto& s : streams) {
        parecs.push_back(rig.pulse().spawn({"parec", "--device=" + s.source, "--format=" + s.format,
                                            "--channels=" + s.channels, "--rate=" + s.rate,
                                            "--latency-msec=10"}));
    }
    return parecs;
}

void measureCaptureCpu(benchmark::State& state, std::chrono::milliseconds window) {
    CaptureRig rig;
    // A sine source is the default microphone; a tone plays into the
    // speakers, so both streams carry sound.
    if (!rig.ready() || !rig.pulse().addSineSource("bench_mic", "Bench microphone") ||
        !rig.pactl({"set-default-source", "bench_mic"}) || !rig.playIntoSpeakers()) {
        state.SkipWithError(rig.failure().empty() ? "cannot load the bench microphone"
                                                  : rig.failure().c_str());
        return;
    }
    const auto server = childNamed("pulseaudio");
    if (!server) {
        state.SkipWithError("cannot find the private PulseAudio's process");
        return;
    }

    StreamingHelper helper(rig.environment(), nullptr);
    if (const auto failed = helper.startStreaming()) {
        state.SkipWithError(("START_STREAMING: " + *failed).c_str());
        return;
    }
    if (!helper.waitForBothStreams(5s)) {
        state.SkipWithError(
            ("both streams did not deliver frames: " + helper.recentLines()).c_str());
        return;
    }
    const auto streams = recordings(rig);
    if (streams.size() != 2) {
        state.SkipWithError(("the helper has " + std::to_string(streams.size()) +
                             " record streams open instead of 2: " + describe(streams))
                                .c_str());
        return;
    }
    // The parec pair records alongside, over the same window: both see
    // the same machine load.
    const auto parecs = startParecs(rig, streams);
    if (!waitUntil([&] { return recordings(rig).size() == 4; }, 5s)) {
        state.SkipWithError("the parec recorders did not start recording");
        return;
    }
    std::this_thread::sleep_for(kStartUp);

    CpuWindow helperCpu({helper.pid()});
    CpuWindow parecCpu({parecs[0].pid(), parecs[1].pid()});
    CpuWindow serverCpu({*server});
    const auto mic0 = helper.micFrames();
    const auto system0 = helper.systemFrames();
    const auto switches = [&] {
        const auto helperCount = contextSwitchesOf(helper.pid());
        const auto a = contextSwitchesOf(parecs[0].pid());
        const auto b = contextSwitchesOf(parecs[1].pid());
        return std::pair<double, double>(helperCount ? static_cast<double>(*helperCount) : 0.0,
                                         a && b ? static_cast<double>(*a + *b) : 0.0);
    };
    const auto switches0 = switches();
    if (!helperCpu.start() || !parecCpu.start() || !serverCpu.start()) {
        state.SkipWithError("a measured process ended early");
        return;
    }
    std::this_thread::sleep_for(window);
    const auto helperSeconds = helperCpu.elapsed();
    const auto parecSeconds = parecCpu.elapsed();
    const auto serverSeconds = serverCpu.elapsed();
    const auto switches1 = switches();
    if (!helperSeconds || !parecSeconds || !serverSeconds) {
        state.SkipWithError(("a measured process ended early: " + helper.recentLines()).c_str());
        return;
    }
    const double seconds = static_cast<double>(window.count()) / 1000.0;

    state.SetIterationTime(seconds);
    const double helperPerMinute = perMinute(*helperSeconds, window);
    const double parecPerMinute = perMinute(*parecSeconds, window);
    state.counters["helper_cpu_s_per_min"] = helperPerMinute;
    state.counters["parec_pair_cpu_s_per_min"] = parecPerMinute;
    state.counters["helper_to_parec"] = parecPerMinute > 0 ? helperPerMinute / parecPerMinute : 0.0;
    state.counters["server_cpu_s_per_min"] = perMinute(*serverSeconds, window);
    state.counters["helper_ctx_switches_per_s"] = (switches1.first - switches0.first) / seconds;
    state.counters["parec_pair_ctx_switches_per_s"] =
        (switches1.second - switches0.second) / seconds;
    state.counters["mic_frames_per_s"] = static_cast<double>(helper.micFrames() - mic0) / seconds;
    state.counters["system_frames_per_s"] =
        static_cast<double>(helper.systemFrames() - system0) / seconds;
    state.SetLabel(describe(streams));
}

void BM_CaptureCpuPerMinute(benchmark::State& state) {
    const auto window = measuredWindow(20s);
    for (auto _ : state) {
        try {
            measureCaptureCpu(state, window);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
        }
    }
}
BENCHMARK(BM_CaptureCpuPerMinute)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
