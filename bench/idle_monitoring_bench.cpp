// CPU of an idle helper that only monitors the microphones: no capture, the
// device monitor polling every 0.5 s, against a private PulseAudio with two
// microphones.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <thread>

#include "CaptureRig.h"
#include "ProcessCpu.h"
#include "servers/PrivatePulseServer.h"
#include "support/HelperProcess.h"

namespace ostrovane::bench {
namespace {

using namespace std::chrono_literals;

void measureIdleMonitoring(benchmark::State& state, std::chrono::milliseconds window) {
    test::PrivatePulseServer pulse;
    if (!pulse.ready() || !pulse.addSineSource("bench_mic", "Bench microphone") ||
        !pulse.addSineSource("bench_usb", "Bench USB microphone") ||
        !pulse.pactl({"set-default-source", "bench_mic"})) {
        state.SkipWithError(("private PulseAudio: " + pulse.failure()).c_str());
        return;
    }
    ::setenv("PULSE_SERVER", pulse.server().c_str(), 1);
    test::HelperProcess helper(OSTROVANE_BINARY);
    helper.sendLine("START_MIC_MONITORING");
    if (!helper.errors().waitForLine("CMD_RESPONSE:MIC_MONITORING:started", 0, 10s)) {
        state.SkipWithError("START_MIC_MONITORING was not answered");
        return;
    }
    std::this_thread::sleep_for(2s);  // start-up work is not idle time

    CpuWindow cpu({helper.pid()});
    if (!cpu.start()) {
        state.SkipWithError("the helper ended early");
        return;
    }
    std::this_thread::sleep_for(window);
    const auto seconds = cpu.elapsed();
    if (!seconds) {
        state.SkipWithError("the helper ended early");
        return;
    }
    const double wall = static_cast<double>(window.count()) / 1000.0;
    state.SetIterationTime(wall);
    state.counters["helper_cpu_percent_of_core"] = 100.0 * *seconds / wall;
    helper.sendLine("STOP");
    helper.waitForExit();
}

void BM_IdleMonitoringCpu(benchmark::State& state) {
    const auto window = measuredWindow(60s);
    for (auto _ : state) {
        try {
            measureIdleMonitoring(state, window);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
        }
    }
}
BENCHMARK(BM_IdleMonitoringCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace ostrovane::bench
