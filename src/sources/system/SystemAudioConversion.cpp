#include "sources/system/SystemAudioConversion.h"

#include <cmath>
#include <string>

#include "util/NumberFormat.h"

namespace ostrovane::sources::system {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::PcmBuffer;

SystemAudioConversion::SystemAudioConversion(const protocol::TextChannel& text,
                                             std::int64_t targetSampleRate,
                                             std::int64_t targetChannels)
    : text_(text), targetSampleRate_(targetSampleRate), targetChannels_(targetChannels) {}

void SystemAudioConversion::log(std::string_view message) const {
    text_.logToStderr(std::string("SystemAudioSource: ").append(message));
}

std::uint32_t SystemAudioConversion::outputCapacity(std::int64_t targetSampleRate,
                                                    std::int64_t frames, double inputSampleRate) {
    const double exact =
        static_cast<double>(targetSampleRate) * static_cast<double>(frames) / inputSampleRate;
    return static_cast<std::uint32_t>(std::ceil(exact));
}

void SystemAudioConversion::reset() {
    systemConverter_.reset();
    systemTargetFormat_.reset();
}

void SystemAudioConversion::process(const platform::SampleBuffer& buffer,
                                    const platform::StreamDescription& description,
                                    std::int64_t frames, const Deliver& deliver) {
    // The input format is what the buffer says it carries. Reading integer
    // samples as float would turn them into loud noise, so the sample type is
    // taken from the description, not assumed.
    const std::optional<AudioFormat> inputFormat = AudioFormat::fromStreamDescription(description);
    if (!inputFormat || frames <= 0 || frames > std::int64_t{UINT32_MAX}) {
        log("unsupported audio format: " + shortestDecimal(description.sampleRate) + "Hz/" +
            std::to_string(description.channelsPerFrame) + "ch");
        return;
    }
    const auto frameCount = static_cast<std::uint32_t>(frames);

    if (!input_ || !(input_->format() == *inputFormat) || input_->frameCapacity() < frameCount) {
        input_ = PcmBuffer::create(*inputFormat, frameCount);
        if (!input_) {
            log("failed to create PCM buffer");
            return;
        }
    }
    input_->setFrameLength(frameCount);
    platform::AudioBufferList planes = input_->audioBufferList();
    const platform::SampleBufferStatus status = buffer.copyPcm(0, frames, planes);
    if (status != 0) {
        log("failed to copy PCM data, status: " + std::to_string(status));
        return;
    }

    if (!systemTargetFormat_) {
        systemTargetFormat_.emplace(CommonFormat::pcmInt16, static_cast<double>(targetSampleRate_),
                                    static_cast<std::uint32_t>(targetChannels_), true);
    }
    if (!systemConverter_ || !(systemConverter_->inputFormat() == *inputFormat)) {
        systemConverter_ = platform::AudioConverter::create(*inputFormat, *systemTargetFormat_);
        if (systemConverter_) {
            log("created converter " + shortestDecimal(inputFormat->sampleRate()) + "Hz \u2192 " +
                std::to_string(targetSampleRate_) + "Hz");
        }
    }
    if (!systemConverter_)
        return;

    const std::uint32_t capacity =
        outputCapacity(targetSampleRate_, frames, inputFormat->sampleRate());
    if (!output_ || output_->frameCapacity() != capacity) {
        output_ = PcmBuffer::create(*systemTargetFormat_, capacity);
        if (!output_) {
            log("failed to allocate conversion buffer");
            return;
        }
    }

    bool handedOver = false;
    const PcmBuffer* inputBuffer = input_.get();
    const platform::InputBlock oneShot =
        [&](std::uint32_t, platform::InputStatus& inputStatus) -> const PcmBuffer* {
        if (handedOver) {
            inputStatus = platform::InputStatus::noDataNow;
            return nullptr;
        }
        handedOver = true;
        inputStatus = platform::InputStatus::haveData;
        return inputBuffer;
    };
    // A full output may leave converted frames behind in the resampler; they
    // are collected with further calls (without new input) before the next
    // buffer arrives, since the resampler loses output that is still waiting
    // when new input is pushed in. Only the first call's output is passed on
    // when empty.
    for (bool firstPass = true;; firstPass = false) {
        std::string error;
        const platform::OutputStatus result = systemConverter_->convert(*output_, oneShot, &error);
        if (result == platform::OutputStatus::error) {
            log("conversion error: " + (error.empty() ? std::string("unknown") : error));
            return;
        }
        const std::int16_t* samples = output_->int16ChannelData(0);
        if (samples == nullptr)
            return;
        const std::size_t bytes =
            std::size_t{output_->frameLength()} * systemTargetFormat_->bytesPerFrame();
        if (deliver && (firstPass || bytes > 0)) {
            deliver(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(samples),
                                                  bytes));
        }
        if (result != platform::OutputStatus::haveData)
            return;
    }
}

}  // namespace ostrovane::sources::system
