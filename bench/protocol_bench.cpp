#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "protocol/FrameReader.h"
#include "protocol/FrameWriter.h"

namespace {

using namespace ostrovane::protocol;

constexpr std::size_t audioPayloadSize = 3840;  // 20 ms of 48 kHz stereo 16-bit
constexpr std::size_t videoPayloadSize = 50 * 1024;

// One writer, and so one output lock, shared by every benchmark thread.
FrameWriter& devNullWriter() {
    static const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    static FrameWriter writer(fd);
    return writer;
}

std::vector<std::uint8_t> pcm(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 37);
    }
    return bytes;
}

void BM_WriteAudioFrame(benchmark::State& state) {
    FrameWriter& writer = devNullWriter();
    const auto payload = pcm(audioPayloadSize);
    std::uint32_t sequence = 0;
    for (auto _ : state) {
        writer.writeBinaryFrame(AudioProtocol::FrameType::mic, 48000, 2, 16, 0.25, payload,
                                sequence++);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() *
                            static_cast<std::int64_t>(AudioProtocol::headerSize + payload.size()));
}
BENCHMARK(BM_WriteAudioFrame)->Threads(1)->Threads(2)->UseRealTime();

void BM_WriteVideoFrame(benchmark::State& state) {
    FrameWriter& writer = devNullWriter();
    const auto payload = pcm(videoPayloadSize);
    std::uint32_t sequence = 0;
    for (auto _ : state) {
        writer.writeVideoFrame(1920, 1080, 30, sequence % 30 == 0, sequence * 33333ull, payload,
                               sequence);
        ++sequence;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(
        state.iterations() *
        static_cast<std::int64_t>(AudioProtocol::videoHeaderSize + payload.size()));
}
BENCHMARK(BM_WriteVideoFrame)->Threads(1)->Threads(2)->UseRealTime();

void BM_CalculateRmsInt16(benchmark::State& state) {
    const auto payload = pcm(audioPayloadSize);
    for (auto _ : state) {
        benchmark::DoNotOptimize(calculateRMSInt16(payload));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(payload.size()));
}
BENCHMARK(BM_CalculateRmsInt16);

// How fast tests and tools can check a captured stream.
void BM_ReadFrames(benchmark::State& state) {
    std::vector<std::uint8_t> stream;
    for (std::uint32_t sequence = 0; sequence < 100; ++sequence) {
        const auto frame = encodeAudioFrame(AudioProtocol::FrameType::system, 48000, 2, 16, 0.5,
                                            pcm(audioPayloadSize), sequence);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    Frame frame;
    for (auto _ : state) {
        FrameReader reader;
        reader.feed(stream);
        while (reader.next(frame) == ReadStatus::frame) {
            benchmark::DoNotOptimize(frame.payload.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * 100);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
}
BENCHMARK(BM_ReadFrames);

}  // namespace
