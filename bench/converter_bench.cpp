// The audio converter on the capture path: how many seconds of audio one
// second of CPU converts, fed in capture-sized chunks the way the conversion
// pipeline does (a fresh output buffer with 10% headroom per chunk).
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>

#include "platform/audio/AudioConverter.h"

namespace {

using namespace ostrovane::platform;

void convertChunks(benchmark::State& state, double inputRate) {
    const auto chunkMs = static_cast<std::uint32_t>(state.range(0));
    const auto frames = static_cast<std::uint32_t>(inputRate * chunkMs / 1000);
    const AudioFormat from(CommonFormat::pcmFloat32, inputRate, 2, true);
    const AudioFormat to(CommonFormat::pcmInt16, 48000, 2, true);
    auto converter = AudioConverter::create(from, to);

    PcmBuffer input(from, frames);
    input.setFrameLength(frames);
    float* samples = input.floatChannelData(0);
    for (std::uint32_t i = 0; i < frames; ++i) {
        samples[2 * i] = samples[2 * i + 1] =
            0.5f * float(std::sin(2 * std::numbers::pi * 1000 * i / inputRate));
    }
    const auto capacity = static_cast<std::uint32_t>(std::ceil(48000 / inputRate * frames * 1.1));
    for (auto _ : state) {
        PcmBuffer output(to, capacity);
        bool given = false;
        converter->convert(output, [&](std::uint32_t, InputStatus& status) -> const PcmBuffer* {
            status = given ? InputStatus::noDataNow : InputStatus::haveData;
            return std::exchange(given, true) ? nullptr : &input;
        });
        benchmark::DoNotOptimize(output.int16ChannelData(0));
    }
    // Seconds of audio per second of CPU time.
    state.counters["realtime_x"] =
        benchmark::Counter(chunkMs / 1000.0, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Resample44100FloatTo48000Int16(benchmark::State& state) {
    convertChunks(state, 44100);
}
void BM_FormatOnly48000FloatTo48000Int16(benchmark::State& state) {
    convertChunks(state, 48000);
}

BENCHMARK(BM_Resample44100FloatTo48000Int16)->Arg(10)->Arg(20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FormatOnly48000FloatTo48000Int16)->Arg(10)->Arg(20)->Unit(benchmark::kMicrosecond);

}  // namespace
