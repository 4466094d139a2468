#include "streaming/AudioConverterPipeline.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "streaming/AudioOutputFormat.h"

namespace ostrovane::streaming {

namespace {

constexpr std::int64_t kEarlyCalls = 10;

// A rate with at least one decimal: 48000 -> "48000.0", 22050.5 -> "22050.5".
std::string rateText(double rate) {
    char text[64];
    auto [end, error] = std::to_chars(text, text + sizeof text, rate, std::chars_format::fixed);
    std::string out = error == std::errc{} ? std::string(text, end) : std::to_string(rate);
    if (out.find('.') == std::string::npos)
        out += ".0";
    return out;
}

std::string formatText(const platform::AudioFormat& format) {
    return rateText(format.sampleRate()) + "Hz/" + std::to_string(format.channelCount()) + "ch";
}

}  // namespace

AudioConverterPipeline::AudioConverterPipeline(Logger logger, ConverterFactory factory)
    : logger_(std::move(logger)),
      factory_(factory ? std::move(factory) : ConverterFactory(&platform::AudioConverter::create)),
      targetFormat_(platform::CommonFormat::pcmInt16,
                    static_cast<double>(AudioOutputFormat::sampleRate),
                    static_cast<std::uint32_t>(AudioOutputFormat::channels), true) {}

void AudioConverterPipeline::log(const std::string& message) const {
    if (logger_)
        logger_(message);
}

void AudioConverterPipeline::logEarly(const std::string& message) const {
    if (processCount_ <= kEarlyCalls)
        log(message);
}

void AudioConverterPipeline::chooseConverter(const platform::AudioFormat& input) {
    if (lastInputFormat_ && platform::sameRateChannelsAndRepresentation(*lastInputFormat_, input))
        return;  // kept even when it is none: a failed format is not retried
    converter_ = factory_(input, targetFormat_);
    lastInputFormat_ = input;
    if (!converter_) {
        log("FAILED to create converter from " + formatText(input));
        return;
    }
    converter_->setSampleRateConverterQuality(std::numeric_limits<std::int64_t>::max());
    log("Created converter: " + formatText(input) + " -> " + formatText(targetFormat_));
}

std::optional<std::vector<std::uint8_t>> AudioConverterPipeline::process(
    const platform::PcmBuffer& buffer) {
    ++processCount_;
    const platform::AudioFormat& input = buffer.format();
    const bool hadConverterFor =
        lastInputFormat_ && platform::sameRateChannelsAndRepresentation(*lastInputFormat_, input);
    chooseConverter(input);
    if (!converter_) {
        // The creation failure of this very call was already logged.
        if (hadConverterFor)
            logEarly("No converter available");
        return std::nullopt;
    }

    const double capacity = outputCapacity(input.sampleRate(), buffer.frameLength());
    if (capacity <= 0) {
        logEarly("Zero output frames calculated");
        return std::nullopt;
    }
    auto output =
        capacity > std::numeric_limits<std::uint32_t>::max()
            ? nullptr
            : platform::PcmBuffer::create(targetFormat_, static_cast<std::uint32_t>(capacity));
    if (!output) {
        logEarly("Failed to allocate output buffer");
        return std::nullopt;
    }

    // The input goes in once; later requests within this call hear "no data
    // now", so the resampler keeps its history and never sees an end.
    bool handedOver = false;
    std::string error;
    const auto status = converter_->convert(
        *output,
        [&](std::uint32_t, platform::InputStatus& inputStatus) -> const platform::PcmBuffer* {
            if (handedOver) {
                inputStatus = platform::InputStatus::noDataNow;
                return nullptr;
            }
            handedOver = true;
            inputStatus = platform::InputStatus::haveData;
            return &buffer;
        },
        &error);

    switch (status) {
        case platform::OutputStatus::haveData:
        case platform::OutputStatus::inputRanDry: {
            if (output->frameLength() == 0) {
                logEarly("Zero frames output (resampler priming), input was " +
                         std::to_string(buffer.frameLength()));
                return std::nullopt;
            }
            const std::int16_t* samples = output->int16ChannelData(0);
            if (samples == nullptr) {
                logEarly("No int16 channel data in output");
                return std::nullopt;
            }
            ++successCount_;
            if (successCount_ < 4 || successCount_ % 500 == 0) {
                log("Success #" + std::to_string(successCount_) + ": " +
                    std::to_string(buffer.frameLength()) + " frames in -> " +
                    std::to_string(output->frameLength()) + " frames out");
            }
            const std::size_t bytes =
                static_cast<std::size_t>(output->frameLength()) * targetFormat_.bytesPerFrame();
            std::vector<std::uint8_t> out(bytes);
            std::memcpy(out.data(), samples, bytes);
            return out;
        }
        case platform::OutputStatus::error:
            if (processCount_ < 11 || processCount_ % 100 == 0)
                log("Conversion error: " + (error.empty() ? std::string("unknown") : error));
            return std::nullopt;
        case platform::OutputStatus::endOfStream:
            logEarly("Unexpected endOfStream status");
            return std::nullopt;
    }
    logEarly("Unknown conversion status");
    return std::nullopt;
}

double AudioConverterPipeline::outputCapacity(double inputRate, std::uint32_t inputFrames) {
    return std::ceil(static_cast<double>(AudioOutputFormat::sampleRate) / inputRate *
                     static_cast<double>(inputFrames) * 1.1);
}

void AudioConverterPipeline::reset() {
    if (converter_)
        converter_->reset();
    converter_.reset();
    lastInputFormat_.reset();
    processCount_ = 0;
    successCount_ = 0;
    log("Pipeline reset");
}

}  // namespace ostrovane::streaming
