#include "app/handlers/MicTapHarness.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

#include "platform/audio/AudioConverter.h"
#include "protocol/FrameWriter.h"
#include "streaming/AudioOutputFormat.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::app {

namespace {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::PcmBuffer;
using platform::RenderStatus;
using Output = streaming::AudioOutputFormat;

constexpr float kToneAmplitude = 0.5f;
constexpr double kTwoPiTimes440 = 2764.601535159018;
constexpr double kRenderSeconds = 0.3;

// The converted blocks the tap delivered. The tap may run on a rendering
// thread, so every access is serialised.
class TapCollector {
  public:
    void append(std::vector<std::uint8_t> frame) {
        util::MutexLock guard(mutex_);
        frames_.push_back(std::move(frame));
        tapCallbacks_ += 1;
    }
    int tapCallbacks() const {
        util::MutexLock guard(mutex_);
        return tapCallbacks_;
    }
    std::vector<std::vector<std::uint8_t>> frames() const {
        util::MutexLock guard(mutex_);
        return frames_;
    }

  private:
    mutable util::Mutex mutex_;
    std::vector<std::vector<std::uint8_t>> frames_;
    int tapCallbacks_ = 0;
};

// A failure: the harness's own, or a platform error's description.
using Failure = std::variant<MicTapHarnessError, std::string>;

std::string describe(const Failure& failure) {
    if (const auto* own = std::get_if<MicTapHarnessError>(&failure))
        return describe(*own);
    return std::get<std::string>(failure);
}

// Converts one tapped block to the output sample format and hands the bytes
// to the collector; a block that cannot be converted is left out.
void collect(platform::AudioConverter& converter, const AudioFormat& target,
             std::uint32_t blockFrames, const PcmBuffer& tapped, TapCollector& collector) {
    auto output = PcmBuffer::create(target, blockFrames);
    if (!output)
        return;
    bool supplied = false;
    const auto status = converter.convert(
        *output, [&](std::uint32_t, platform::InputStatus& inputStatus) -> const PcmBuffer* {
            inputStatus =
                supplied ? platform::InputStatus::noDataNow : platform::InputStatus::haveData;
            const PcmBuffer* given = supplied ? nullptr : &tapped;
            supplied = true;
            return given;
        });
    if (status == platform::OutputStatus::error || !output->int16ChannelData(0))
        return;
    const auto bytes = output->planeBytes(0);
    const auto* first = reinterpret_cast<const std::uint8_t*>(bytes.data());
    collector.append(std::vector<std::uint8_t>(first, first + bytes.size()));
}

struct Outcome {
    int taps = 0;
    std::size_t frames = 0;
    double avgRms = 0;
};

std::variant<Outcome, Failure> runHarness(platform::OfflineAudioEngines* engines) {
    const double rate = Output::sampleRate;
    const auto channels = static_cast<std::uint32_t>(Output::channels);
    const auto blockFrames = static_cast<std::uint32_t>(Output::frameSize / (Output::channels * 2));
    if (!engines)
        return Failure{MicTapHarnessError::renderingFailed};
    auto engine = engines->create();
    if (!engine)
        return Failure{MicTapHarnessError::renderingFailed};

    const AudioFormat floatFormat(CommonFormat::pcmFloat32, rate, channels, false);
    engine->setMixerVolume(1.0f);
    engine->connectSource(
        [phase = 0.0f, step = static_cast<float>(kTwoPiTimes440 / rate)](
            std::uint32_t frames, PcmBuffer& buffer) mutable {
            buffer.setFrameLength(frames);
            for (std::uint32_t i = 0; i < frames; ++i) {
                const float value = kToneAmplitude * std::sin(phase);
                for (std::uint32_t c = 0; c < buffer.planeCount(); ++c) {
                    if (float* plane = buffer.floatChannelData(c))
                        plane[i] = value;
                }
                phase += step;
            }
        },
        floatFormat);
    // The graph only feeds the tap; nothing is to be heard.
    engine->setMainMixerVolume(0.0f);

    const AudioFormat target(CommonFormat::pcmInt16, rate, channels, true);
    auto converter = platform::AudioConverter::create(floatFormat, target);
    if (!converter)
        return Failure{MicTapHarnessError::converterCreationFailed};

    TapCollector collector;
    engine->installTap(blockFrames, [&](const PcmBuffer& tapped) {
        collect(*converter, target, blockFrames, tapped, collector);
    });

    if (auto error = engine->enableManualRendering(floatFormat, blockFrames))
        return Failure{error->description()};
    if (auto error = engine->start())
        return Failure{error->description()};

    auto render = PcmBuffer::create(engine->manualRenderingFormat(), blockFrames);
    if (!render)
        return Failure{MicTapHarnessError::renderingFailed};
    const auto total = static_cast<std::uint32_t>(kRenderSeconds * rate);
    std::uint32_t rendered = 0;
    int retries = 0;
    while (rendered < total) {
        const std::uint32_t ask = std::min(blockFrames, total - rendered);
        const auto result = engine->renderOffline(ask, *render);
        if (!result.ok())
            return Failure{result.error().description()};
        switch (result.value()) {
            case RenderStatus::success:
                rendered += ask;
                break;
            case RenderStatus::insufficientDataFromInputNode:
            case RenderStatus::cannotDoInCurrentContext:
                if (++retries > MicTapHarness::maxRenderRetries)
                    return Failure{MicTapHarnessError::renderingFailed};
                break;
            case RenderStatus::error:
                return Failure{MicTapHarnessError::renderingFailed};
        }
    }
    engine->stop();
    engine->removeTap();

    const auto frames = collector.frames();
    const int taps = collector.tapCallbacks();
    if (taps < 1 || frames.empty())
        return Failure{MicTapHarnessError::noDataCaptured};
    double sum = 0;
    for (const auto& frame : frames)
        sum += protocol::calculateRMSInt16(frame);
    return Outcome{taps, frames.size(), sum / static_cast<double>(frames.size())};
}

}  // namespace

std::string describe(MicTapHarnessError error) {
    switch (error) {
        case MicTapHarnessError::converterCreationFailed:
            return "converterCreationFailed";
        case MicTapHarnessError::renderingFailed:
            return "renderingFailed";
        case MicTapHarnessError::noDataCaptured:
            return "noDataCaptured";
    }
    return "unknown";
}

void MicTapHarness::runMicTapHarnessCommand() {
    context_.text.logToStderr("MicTapHarness: starting...");
    const auto outcome = runHarness(context_.platform.offlineAudioEngines.get());
    if (const auto* failure = std::get_if<Failure>(&outcome)) {
        const std::string text = describe(*failure);
        context_.text.sendCommandResponse("TEST_MIC_TAP:error:" + text);
        context_.text.logToStderr("MicTapHarness: failed " + text);
        return;
    }
    const auto& ok = std::get<Outcome>(outcome);
    char rms[32];
    std::snprintf(rms, sizeof rms, "%.4f", ok.avgRms);
    const std::string counts =
        "taps=" + std::to_string(ok.taps) + " frames=" + std::to_string(ok.frames);
    context_.text.sendCommandResponse("TEST_MIC_TAP:ok:" + counts + " avgRMS=" + rms);
    context_.text.logToStderr("MicTapHarness: success " + counts + " avgRMS=" + rms);
}

}  // namespace ostrovane::app
