// The system-audio source's callback path: one captured buffer in (the
// capture service's planar float buffers of 10 ms), stream checks,
// conversion to interleaved 16-bit, one chunk out. Reported as CPU time per
// second of audio.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "dispatch/SystemClock.h"
#include "sources/system/SystemAudioSource.h"

namespace {

using namespace ostrovane;
using namespace ostrovane::platform;

// A captured buffer holding planar float samples.
class PlanarBuffer final : public SampleBuffer {
  public:
    PlanarBuffer(double rate, std::int64_t frames)
        : description_{rate, 2, 32, true, false, true, true, true},
          frames_(frames),
          samples_(static_cast<std::size_t>(frames) * 2) {
        for (std::int64_t i = 0; i < frames; ++i) {
            const float v = 0.3f * float(std::sin(2 * std::numbers::pi * 440 * double(i) / rate));
            samples_[static_cast<std::size_t>(i)] = v;
            samples_[static_cast<std::size_t>(frames + i)] = v;
        }
    }
    std::optional<StreamDescription> streamDescription() const override { return description_; }
    std::int64_t frameCount() const override { return frames_; }
    MediaTime presentationTime() const override { return {}; }
    SampleBufferStatus copyPcm(std::int64_t start, std::int64_t frames,
                               AudioBufferList& destination) const override {
        if (destination.buffers.size() != 2)
            return kSampleBufferArrayTooSmall;
        for (std::size_t plane = 0; plane < 2; ++plane) {
            std::memcpy(destination.buffers[plane].data.data(),
                        samples_.data() + plane * std::size_t(frames_) + std::size_t(start),
                        std::size_t(frames) * sizeof(float));
        }
        return 0;
    }
    std::optional<DataBlock> dataBlock() const override { return std::nullopt; }

  private:
    StreamDescription description_;
    std::int64_t frames_;
    std::vector<float> samples_;
};

// A capture service that answers at once and hands the audio output to the
// benchmark instead of delivering anything itself.
class DirectStream final : public CaptureStream {
  public:
    MaybeError addAudioOutput(AudioSampleHandler handler, dispatch::QueueRef) override {
        audio = std::move(handler);
        return std::nullopt;
    }
    MaybeError addScreenOutput(ScreenSampleHandler, dispatch::QueueRef) override {
        return std::nullopt;
    }
    MaybeError removeOutput(StreamOutputType) override { return std::nullopt; }
    void startCapture(StreamCompletion completion) override { completion(std::nullopt); }
    void stopCapture(StreamCompletion completion) override { completion(std::nullopt); }
    void updateContentFilter(const ContentFilter&, StreamCompletion completion) override {
        completion(std::nullopt);
    }
    const StreamConfiguration& configuration() const override { return configuration_; }

    AudioSampleHandler audio;

  private:
    StreamConfiguration configuration_;
};

class DirectScreen final : public ScreenCapture {
  public:
    bool requestAccess() override { return true; }
    void shareableContent(const ShareableContentOptions&,
                          std::function<void(Result<ShareableContent>)> completion) override {
        completion(ShareableContent{{Display{1, 1920, 1080, {0, 0, 1920, 1080}}}, {}});
    }
    ContentFilter makeFilter(const Display& d) override { return {d, {}, 1.0}; }
    ContentFilter makeFilter(const Window& w) override { return {w, {}, 1.0}; }
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter&, const StreamConfiguration&,
                                              StreamStopHandler) override {
        stream = std::make_shared<DirectStream>();
        return stream;
    }
    void screenshot(const ContentFilter&, const StreamConfiguration&,
                    std::function<void(Result<Image>)>) override {}
    ScreenList screens() override { return {}; }

    std::shared_ptr<DirectStream> stream;
};

void callbackPath(benchmark::State& state, double inputRate, std::int64_t frames) {
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    dispatch::SystemClock clock;
    protocol::TextChannel text(devNull);
    auto screen = std::make_shared<DirectScreen>();
    auto source = sources::system::SystemAudioSource::create({screen, nullptr, text, clock});
    std::size_t bytesOut = 0;
    source->setOnAudioData([&](std::span<const std::uint8_t> chunk) { bytesOut += chunk.size(); });
    source->start(nullptr);

    auto buffer = std::make_shared<const PlanarBuffer>(inputRate, frames);
    for (auto _ : state)
        screen->stream->audio(buffer);

    // CPU seconds spent per second of audio (the time per buffer divided by
    // the audio one buffer holds).
    state.counters["cpu_per_audio_s"] = benchmark::Counter(
        double(frames) / inputRate,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    benchmark::DoNotOptimize(bytesOut);
    source->stop(nullptr);
    source.reset();
    ::close(devNull);
}

void BM_SystemAudioCallback48k(benchmark::State& state) {
    callbackPath(state, 48000, 480);  // 10 ms buffers, no resampling
}
void BM_SystemAudioCallback44k(benchmark::State& state) {
    callbackPath(state, 44100, 441);  // a resampling case, 10 ms buffers
}

}  // namespace

BENCHMARK(BM_SystemAudioCallback48k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SystemAudioCallback44k)->Unit(benchmark::kMicrosecond);
