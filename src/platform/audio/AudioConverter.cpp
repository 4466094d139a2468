#include "platform/audio/AudioConverter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "platform/audio/SampleCodec.h"

namespace ostrovane::platform {

namespace {

struct SoxrDeleter {
    void operator()(soxr* resampler) const { soxr_delete(resampler); }
};
using SoxrHandle = std::unique_ptr<soxr, SoxrDeleter>;

unsigned long soxrRecipe(std::int64_t quality) {
    if (quality >= 96)
        return SOXR_VHQ;
    if (quality >= 64)
        return SOXR_HQ;
    if (quality >= 32)
        return SOXR_MQ;
    return SOXR_LQ;
}

SoxrHandle makeResampler(double inputRate, double outputRate, unsigned channels,
                         unsigned long recipe) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(recipe, 0);
    // One thread: conversion runs on the owner's capture thread, and extra
    // worker threads would only add wake-ups for 10-20 ms chunks.
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    SoxrHandle handle(
        soxr_create(inputRate, outputRate, channels, &error, &io, &quality, &runtime));
    if (error != nullptr)
        return nullptr;
    return handle;
}

// Calls `body` with a typed pointer to the samples of `buffer`'s plane for a
// channel and the step between frames, whatever the representation.
template <typename Body>
void withChannel(const PcmBuffer& buffer, std::uint32_t channel, Body&& body) {
    const AudioFormat& format = buffer.format();
    const std::uint32_t plane = format.isInterleaved() ? 0 : channel;
    const std::size_t offset = format.isInterleaved() ? channel : 0;
    const std::size_t step = buffer.stride();
    switch (format.commonFormat()) {
        case CommonFormat::pcmFloat32:
            body(buffer.floatChannelData(plane) + offset, step);
            break;
        case CommonFormat::pcmFloat64:
            body(buffer.doubleChannelData(plane) + offset, step);
            break;
        case CommonFormat::pcmInt16:
            body(buffer.int16ChannelData(plane) + offset, step);
            break;
        case CommonFormat::pcmInt32:
            body(buffer.int32ChannelData(plane) + offset, step);
            break;
        case CommonFormat::otherFormat:
            break;
    }
}

template <typename Body>
void withMutableChannel(PcmBuffer& buffer, std::uint32_t channel, Body&& body) {
    withChannel(buffer, channel, [&](const auto* samples, std::size_t step) {
        using Sample = std::remove_const_t<std::remove_pointer_t<decltype(samples)>>;
        body(const_cast<Sample*>(samples), step);
    });
}

}  // namespace

struct AudioConverter::State {
    State(const AudioFormat& inputFormat, const AudioFormat& outputFormat)
        : from(inputFormat),
          to(outputFormat),
          resampling(from.sampleRate() != to.sampleRate()),
          workChannels(std::min(from.channelCount(), to.channelCount())) {}

    AudioFormat from;
    AudioFormat to;
    bool resampling;
    // Channel mapping is done on the narrower side of the resampler (mix down
    // before, spread out after), so it never resamples a channel twice.
    std::uint32_t workChannels;
    SoxrHandle resampler;

    // Input frames mapped to workChannels, interleaved, not yet resampled or
    // output; [pendingStart, end) is live. Grows to the largest input seen.
    std::vector<double> pending;
    std::size_t pendingStart = 0;
    // Resampler output before it is written to the caller's buffer.
    std::vector<double> staging;

    unsigned long recipe = SOXR_VHQ;
    bool inputEnded = false;  // the input block said endOfStream
    bool finished = false;    // ...and everything has been output since

    std::size_t pendingFrames() const { return (pending.size() - pendingStart) / workChannels; }
    const double* pendingData() const { return pending.data() + pendingStart; }

    void consumePending(std::size_t frames) {
        pendingStart += frames * workChannels;
        if (pendingStart == pending.size()) {
            pending.clear();
            pendingStart = 0;
        }
    }

    void appendInput(const PcmBuffer& buffer) {
        if (pendingStart > 0) {
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(pendingStart));
            pendingStart = 0;
        }
        const std::size_t frames = buffer.frameLength();
        const std::size_t base = pending.size();
        pending.resize(base + frames * workChannels);
        double* out = pending.data() + base;
        const std::uint32_t inputChannels = buffer.format().channelCount();
        if (workChannels == 1 && inputChannels > 1) {
            // Mono output: the average of every input channel.
            for (std::uint32_t c = 0; c < inputChannels; ++c) {
                withChannel(buffer, c, [&](const auto* samples, std::size_t step) {
                    for (std::size_t i = 0; i < frames; ++i) {
                        out[i] += sample_codec::toDouble(samples[i * step]);
                    }
                });
            }
            const double scale = 1.0 / inputChannels;
            for (std::size_t i = 0; i < frames; ++i)
                out[i] *= scale;
            return;
        }
        for (std::uint32_t c = 0; c < workChannels; ++c) {
            withChannel(buffer, c, [&](const auto* samples, std::size_t step) {
                for (std::size_t i = 0; i < frames; ++i) {
                    out[i * workChannels + c] = sample_codec::toDouble(samples[i * step]);
                }
            });
        }
    }

    // Writes `frames` frames of workChannels samples into `output` from frame
    // `offset` on, spreading them over the output channels.
    void writeOutput(PcmBuffer& output, std::size_t offset, const double* source,
                     std::size_t frames) const {
        for (std::uint32_t c = 0; c < to.channelCount(); ++c) {
            const bool hasSource = workChannels == 1 || c < workChannels;
            const std::uint32_t sourceChannel = workChannels == 1 ? 0 : c;
            withMutableChannel(output, c, [&](auto* samples, std::size_t step) {
                using Sample = std::remove_pointer_t<decltype(samples)>;
                Sample* out = samples + offset * step;
                for (std::size_t i = 0; i < frames; ++i) {
                    out[i * step] = hasSource ? sample_codec::fromDouble<Sample>(
                                                    source[i * workChannels + sourceChannel])
                                              : Sample{};
                }
            });
        }
    }

    // Moves what can be made from the frames at hand into output; returns the
    // frames written, 0 when nothing more comes without new input.
    std::size_t produce(PcmBuffer& output, std::size_t offset, std::size_t room,
                        std::string& failure) {
        if (!resampling) {
            const std::size_t frames = std::min(room, pendingFrames());
            writeOutput(output, offset, pendingData(), frames);
            consumePending(frames);
            return frames;
        }
        staging.resize(std::max(staging.size(), room * workChannels));
        for (;;) {
            std::size_t consumed = 0;
            std::size_t made = 0;
            soxr_error_t error;
            if (inputEnded && pendingFrames() == 0) {
                // A null input tells the resampler to flush its history.
                error =
                    soxr_process(resampler.get(), nullptr, 0, nullptr, staging.data(), room, &made);
            } else {
                // Never a null input pointer here: that would mean end of input.
                static constexpr double kNoInput = 0;
                const double* in = pendingFrames() > 0 ? pendingData() : &kNoInput;
                error = soxr_process(resampler.get(), in, pendingFrames(), &consumed,
                                     staging.data(), room, &made);
            }
            if (error != nullptr) {
                failure = error;
                return 0;
            }
            consumePending(consumed);
            if (made > 0) {
                writeOutput(output, offset, staging.data(), made);
                return made;
            }
            if (consumed == 0)
                return 0;
        }
    }

    bool resetResampler() {
        pending.clear();
        pendingStart = 0;
        inputEnded = false;
        finished = false;
        if (!resampling)
            return true;
        // A fresh resampler rather than soxr_clear: reset is rare and this
        // leaves no doubt that no history survives.
        resampler = makeResampler(from.sampleRate(), to.sampleRate(), workChannels, recipe);
        return resampler != nullptr;
    }
};

std::unique_ptr<AudioConverter> AudioConverter::create(const AudioFormat& from,
                                                       const AudioFormat& to) {
    auto state = std::make_unique<State>(from, to);
    if (!state->resetResampler())
        return nullptr;
    // Room for a typical capture chunk, so steady streaming never allocates.
    state->pending.reserve(8192 * state->workChannels);
    return std::make_unique<AudioConverter>(Key{}, std::move(state));
}

AudioConverter::AudioConverter(Key, std::unique_ptr<State> state) : state_(std::move(state)) {}
AudioConverter::~AudioConverter() = default;

const AudioFormat& AudioConverter::inputFormat() const {
    return state_->from;
}
const AudioFormat& AudioConverter::outputFormat() const {
    return state_->to;
}

void AudioConverter::reset() {
    state_->resetResampler();
}

void AudioConverter::setSampleRateConverterQuality(std::int64_t quality) {
    const unsigned long recipe = soxrRecipe(quality);
    if (recipe == state_->recipe)
        return;
    state_->recipe = recipe;
    state_->resetResampler();
}

double AudioConverter::delayFrames() const {
    const State& s = *state_;
    if (!s.resampling)
        return static_cast<double>(s.pendingFrames());
    return soxr_delay(s.resampler.get()) +
           static_cast<double>(s.pendingFrames()) * s.to.sampleRate() / s.from.sampleRate();
}

OutputStatus AudioConverter::convert(PcmBuffer& output, const InputBlock& input,
                                     std::string* error) {
    State& s = *state_;
    auto fail = [&](std::string message) {
        if (error != nullptr)
            *error = std::move(message);
        return OutputStatus::error;
    };
    output.setFrameLength(0);
    if (!sameRateChannelsAndRepresentation(output.format(), s.to)) {
        return fail("output buffer is not in the converter's output format");
    }
    if (s.finished)
        return OutputStatus::endOfStream;
    if (!s.resampler && s.resampling)
        return fail("resampler unavailable");

    const std::size_t capacity = output.frameCapacity();
    std::size_t produced = 0;
    bool inputDry = false;
    std::string failure;
    // Asks the input block for about `room` output frames' worth of input.
    auto pull = [&](std::size_t room) -> bool {
        const double wanted = std::ceil(double(room) * s.from.sampleRate() / s.to.sampleRate());
        const double missing = std::max(1.0, wanted - double(s.pendingFrames()));
        InputStatus status = InputStatus::haveData;
        const PcmBuffer* buffer = input(static_cast<std::uint32_t>(std::min(missing, 1e9)), status);
        switch (status) {
            case InputStatus::haveData:
                if (buffer == nullptr) {
                    failure = "input block returned haveData without a buffer";
                    return false;
                }
                if (!sameRateChannelsAndRepresentation(buffer->format(), s.from)) {
                    failure = "input buffer is not in the converter's input format";
                    return false;
                }
                // An empty buffer is no progress; treat it as "nothing now" so
                // that a call always ends.
                if (buffer->frameLength() == 0)
                    inputDry = true;
                s.appendInput(*buffer);
                break;
            case InputStatus::noDataNow:
                inputDry = true;
                break;
            case InputStatus::endOfStream:
                s.inputEnded = true;
                break;
        }
        return true;
    };
    // Every call takes in what the input block has before it hands out what
    // the resampler still holds: a caller that offers one buffer per call and
    // sizes the output to that buffer must not have its buffer passed over
    // just because earlier output filled the room.
    if (!s.inputEnded && capacity > 0 && !pull(capacity))
        return fail(failure);
    while (produced < capacity) {
        const std::size_t room = capacity - produced;
        const std::size_t made = s.produce(output, produced, room, failure);
        if (!failure.empty())
            return fail("resampler: " + failure);
        if (made > 0) {
            produced += made;
            output.setFrameLength(static_cast<std::uint32_t>(produced));
            continue;
        }
        if (s.inputEnded) {
            s.finished = true;
            break;
        }
        if (inputDry)
            break;
        if (!pull(room))
            return fail(failure);
    }
    if (produced == capacity && capacity > 0)
        return OutputStatus::haveData;
    if (s.finished)
        return produced > 0 ? OutputStatus::haveData : OutputStatus::endOfStream;
    return OutputStatus::inputRanDry;
}

}  // namespace ostrovane::platform
