#include "platform/audio/AudioConverter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace ostrovane::platform {
namespace {

const AudioFormat kOutput(CommonFormat::pcmInt16, 48000, 2, true);

PcmBuffer floatBuffer(double rate, bool interleaved,
                      const std::vector<std::vector<float>>& planes) {
    const auto channels = static_cast<std::uint32_t>(planes.size());
    const auto frames = static_cast<std::uint32_t>(planes[0].size());
    PcmBuffer buffer(AudioFormat(CommonFormat::pcmFloat32, rate, channels, interleaved), frames);
    buffer.setFrameLength(frames);
    for (std::uint32_t c = 0; c < channels; ++c) {
        float* plane = buffer.floatChannelData(interleaved ? 0 : c) + (interleaved ? c : 0);
        for (std::uint32_t i = 0; i < frames; ++i)
            plane[i * buffer.stride()] = planes[c][i];
    }
    return buffer;
}

// Hands `buffer` over on the first request and says noDataNow afterwards, as
// the conversion pipeline does; counts the requests.
InputBlock once(const PcmBuffer& buffer, int* calls = nullptr) {
    return [&buffer, calls, given = false](std::uint32_t, InputStatus& status) mutable {
        if (calls != nullptr)
            ++*calls;
        status = given ? InputStatus::noDataNow : InputStatus::haveData;
        return std::exchange(given, true) ? nullptr : &buffer;
    };
}

const InputBlock kEnded = [](std::uint32_t, InputStatus& status) -> const PcmBuffer* {
    status = InputStatus::endOfStream;
    return nullptr;
};

// The samples of an interleaved int16 buffer.
std::vector<int> int16s(const PcmBuffer& buffer) {
    return {buffer.int16ChannelData(0),
            buffer.int16ChannelData(0) + buffer.frameLength() * buffer.stride()};
}

// Same-rate conversion of one buffer: exact per sample.
PcmBuffer convertOnce(const PcmBuffer& input, const AudioFormat& to) {
    PcmBuffer output(to, input.frameLength());
    EXPECT_EQ(AudioConverter::create(input.format(), to)->convert(output, once(input)),
              OutputStatus::haveData);
    return output;
}

// Interleaved int16 output of interleaved `input` fed in chunks of `nextChunk` frames
// (noDataNow in between) into outputs of `nextCapacity` frames, then flushed.
std::vector<std::int16_t> convertAll(const PcmBuffer& input,
                                     std::function<std::uint32_t()> nextChunk,
                                     std::function<std::uint32_t()> nextCapacity) {
    auto converter = AudioConverter::create(input.format(), kOutput);
    PcmBuffer chunk(input.format(), input.frameLength());
    std::uint32_t position = 0;
    const InputBlock chunks = [&](std::uint32_t, InputStatus& status) -> const PcmBuffer* {
        status = position < input.frameLength() ? InputStatus::haveData : InputStatus::noDataNow;
        if (status == InputStatus::noDataNow)
            return nullptr;
        const std::uint32_t frames = std::min(nextChunk(), input.frameLength() - position);
        const std::size_t frameBytes = input.format().bytesPerFrame();  // one interleaved plane
        const std::byte* from = input.planeBytes(0).data() + position * frameBytes;
        std::copy(from, from + frames * frameBytes, chunk.planeCapacityBytes(0).data());
        chunk.setFrameLength(frames);
        position += frames;
        return &chunk;
    };
    std::vector<std::int16_t> out;
    for (OutputStatus status = OutputStatus::haveData; status != OutputStatus::endOfStream;) {
        PcmBuffer output(kOutput, nextCapacity());
        const bool inputLeft = position < input.frameLength();
        status = converter->convert(output, inputLeft ? chunks : kEnded);
        EXPECT_NE(status, OutputStatus::error);
        const std::int16_t* samples = output.int16ChannelData(0);
        out.insert(out.end(), samples, samples + output.frameLength() * output.stride());
    }
    return out;
}

struct SineFit {
    double amplitude, phase, snrDb;
};

// Projection of `channel` of a stereo output on a 1 kHz sine and cosine over
// whole cycles away from the filter's edges: the resampler's delay becomes the
// phase; what the fit leaves is noise.
SineFit fitSine(const std::vector<std::int16_t>& stereo, std::size_t channel) {
    const double w = 2 * std::numbers::pi * 1000 / 48000;
    const std::size_t from = 2000, n = 42000;  // 875 cycles
    double xs = 0, xc = 0, xx = 0;
    for (std::size_t i = from; i < from + n; ++i) {
        const double x = stereo[2 * i + channel] / 32768.0;
        xs += x * std::sin(w * double(i)), xc += x * std::cos(w * double(i)), xx += x * x;
    }
    const double a = 2 * xs / n, b = 2 * xc / n, signal = (a * a + b * b) * n / 2;
    return {std::hypot(a, b), std::atan2(b, a), 10 * std::log10(signal / (xx - signal))};
}

// One second in, one second out, chunk boundaries leave no trace, and away
// from the filter's edges every channel is clean, at its level and aligned.
// Rows: the input rate and a 1 kHz tone (amplitude, phase) per channel; a
// mono input reaches both output channels.
TEST(AudioConverterTest, ResamplesChunkedInputLikeOneShotWithHighFidelity) {
    using Tone = std::pair<double, double>;
    const std::pair<double, std::vector<Tone>> cases[] = {{44100, {{0.9, 0}, {0.5, 1.0}}},
                                                          {16000, {{0.7, 0.3}}}};
    for (const auto& [rate, tones] : cases) {
        SCOPED_TRACE(testing::Message() << rate << " Hz, " << tones.size() << " channels");
        std::vector<std::vector<float>> planes;
        for (const auto& [amplitude, phase] : tones) {
            planes.emplace_back(std::size_t(rate));
            for (std::size_t i = 0; i < planes.back().size(); ++i)
                planes.back()[i] =
                    float(amplitude * std::sin(2 * std::numbers::pi * 1000 * i / rate + phase));
        }
        const PcmBuffer input = floatBuffer(rate, true, planes);
        const auto reference = convertAll(
            input, [&] { return input.frameLength(); }, [] { return 60000u; });
        std::mt19937 random(1234);
        const auto streamed = convertAll(
            input, [&] { return 1 + random() % 1500; }, [&] { return 1 + random() % 2000; });
        ASSERT_NEAR(double(reference.size()) / 2, 48000, 2);
        ASSERT_EQ(streamed.size(), reference.size());
        for (std::size_t i = 0; i < reference.size(); ++i)
            ASSERT_LE(std::abs(streamed[i] - reference[i]), 1) << "sample " << i;
        const SineFit left = fitSine(streamed, 0);
        for (std::size_t c = 0; c < 2; ++c) {
            const SineFit fit = fitSine(streamed, c);
            const auto [amplitude, phase] = tones[std::min(c, tones.size() - 1)];
            EXPECT_GT(fit.snrDb, 90);
            EXPECT_NEAR(fit.amplitude, amplitude, 0.001);
            const double shift = fit.phase - left.phase - (phase - tones[0].second);
            EXPECT_NEAR(std::remainder(shift, 2 * std::numbers::pi), 0, 1e-3) << "channel " << c;
        }
    }
}

TEST(AudioConverterTest, SameRateConversionIsExactPerSample) {
    const float lsb = 1.0f / 32768;
    const PcmBuffer floats =
        floatBuffer(48000, true,
                    {{0, 0.5f, -1, 1, 1.5f, -1.5f, 0.4f * lsb, 0.6f * lsb, -0.6f * lsb, 2.5f * lsb,
                      std::nanf(""), 32766.6f * lsb}});
    const PcmBuffer int16 =
        convertOnce(floats, AudioFormat(CommonFormat::pcmInt16, 48000, 1, true));
    // Round to nearest (ties to even), clip, NaN to silence.
    EXPECT_EQ(int16s(int16),
              (std::vector<int>{0, 16384, -32768, 32767, 32767, -32768, 0, 1, -1, 2, 0, 32767}));

    // int16 <-> int32 <-> float keep every bit; int32 -> int16 rounds.
    const PcmBuffer wide = convertOnce(int16, AudioFormat(CommonFormat::pcmInt32, 48000, 1, false));
    const PcmBuffer back = convertOnce(wide, AudioFormat(CommonFormat::pcmFloat32, 48000, 1, true));
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(wide.int32ChannelData(0)[i], int16.int16ChannelData(0)[i] * 65536);
        EXPECT_EQ(back.floatChannelData(0)[i], int16.int16ChannelData(0)[i] * lsb);
    }
    PcmBuffer odd(AudioFormat(CommonFormat::pcmInt32, 48000, 1, true), 4);
    odd.setFrameLength(4);
    const std::int32_t values[] = {0x00017FFF, 0x00018001, -0x00018001, 0x7FFFFFFF};
    std::copy(values, values + 4, odd.int32ChannelData(0));
    const PcmBuffer narrow = convertOnce(odd, AudioFormat(CommonFormat::pcmInt16, 48000, 1, true));
    EXPECT_EQ(int16s(narrow), (std::vector<int>{1, 2, -2, 32767}));
}

// Channels are mapped on the narrower side of the resampler, the same way
// whether it runs or not.
TEST(AudioConverterTest, MapsChannelsByTheDocumentedRules) {
    const std::vector<float> a = {0.25f, -0.5f}, b = {0.75f, 0.5f}, c = {0.1f, 0.1f},
                             d = {-0.9f, 0.9f};
    auto map = [](const std::vector<std::vector<float>>& planes, std::uint32_t outChannels) {
        return int16s(convertOnce(floatBuffer(48000, false, planes),
                                  AudioFormat(CommonFormat::pcmInt16, 48000, outChannels, true)));
    };
    using V = std::vector<int>;
    EXPECT_EQ(map({a}, 2), (V{8192, 8192, -16384, -16384}));                 // mono copied
    EXPECT_EQ(map({a, b}, 1), (V{16384, 0}));                                // averaged
    EXPECT_EQ(map({a, b, c, d}, 2), (V{8192, 24576, -16384, 16384}));        // first two
    EXPECT_EQ(map({a, b}, 4), (V{8192, 24576, 0, 0, -16384, 16384, 0, 0}));  // rest silent
}

TEST(AudioConverterTest, StatusesFollowTheInputAndTheOutputRoom) {
    // Resampler priming: the first small input may give nothing at all.
    const PcmBuffer small =
        floatBuffer(44100, true, {std::vector(64, 0.5f), std::vector(64, -0.5f)});
    auto priming = AudioConverter::create(small.format(), kOutput);
    PcmBuffer output(kOutput, 100);
    int calls = 0;
    EXPECT_EQ(priming->convert(output, once(small, &calls)), OutputStatus::inputRanDry);
    EXPECT_EQ(output.frameLength(), 0u);
    EXPECT_EQ(calls, 2);

    // Input beyond the output's room is kept for later calls, in order; every
    // call still asks its input block once, so a buffer offered per call is
    // never passed over.
    std::vector<float> ramp(1000);
    for (std::size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = float(i) / 32768;
    const PcmBuffer input = floatBuffer(48000, true, {ramp, ramp});
    auto converter = AudioConverter::create(input.format(), kOutput);
    const InputBlock block = once(input, &(calls = 0));
    PcmBuffer part(kOutput, 300);
    std::vector<OutputStatus> statuses;
    std::vector<int> left;
    for (int i = 0; i < 4; ++i) {
        statuses.push_back(converter->convert(part, block));
        for (std::uint32_t f = 0; f < part.frameLength(); ++f)
            left.push_back(part.int16ChannelData(0)[2 * f]);
    }
    EXPECT_EQ(statuses, (std::vector{OutputStatus::haveData, OutputStatus::haveData,
                                     OutputStatus::haveData, OutputStatus::inputRanDry}));
    EXPECT_EQ(calls, 4);
    ASSERT_EQ(left.size(), 1000u);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(left[i], i);

    // End of stream flushes the history, then stays ended.
    auto ending = AudioConverter::create(small.format(), kOutput);
    PcmBuffer all(kOutput, 2000);
    ending->convert(all, once(small));
    EXPECT_EQ(ending->convert(all, kEnded), OutputStatus::haveData);
    EXPECT_EQ(all.frameLength(), 70u);  // 64 frames at 48/44.1
    EXPECT_EQ(ending->convert(all, once(small)), OutputStatus::endOfStream);
    EXPECT_EQ(all.frameLength(), 0u);
}

TEST(AudioConverterTest, ReportsMisuseAsErrors) {
    const AudioFormat in(CommonFormat::pcmFloat32, 48000, 2, true);
    auto converter = AudioConverter::create(in, kOutput);
    PcmBuffer output(kOutput, 10);
    PcmBuffer wrongOutput(in, 10);
    const PcmBuffer mono = floatBuffer(48000, true, {{0.5f}});
    const InputBlock noBuffer = [](std::uint32_t, InputStatus&) -> const PcmBuffer* {
        return nullptr;
    };
    for (auto [target, block] :
         {std::pair{&wrongOutput, once(mono)}, {&output, noBuffer}, {&output, once(mono)}}) {
        std::string error;
        EXPECT_EQ(converter->convert(*target, block, &error), OutputStatus::error);
        EXPECT_FALSE(error.empty());
    }
    // A buffer differing only in layout is the same stream.
    const PcmBuffer planar = floatBuffer(48000, false, {{0.5f}, {-0.5f}});
    EXPECT_EQ(converter->convert(output, once(planar)), OutputStatus::inputRanDry);
    ASSERT_EQ(output.frameLength(), 1u);
    EXPECT_EQ(output.int16ChannelData(0)[1], -16384);
}

}  // namespace
}  // namespace ostrovane::platform
