#include <gtest/gtest.h>

#include <tuple>

#include "contract/ProviderHarness.h"
#include "dispatch/ManualClock.h"
#include "sources/test/WAVFileSource.h"
#include "support/MemoryChannels.h"
#include "support/WavFile.h"

namespace ostrovane::sources {
namespace {

using protocol::AudioProtocol;
using test::makeWav;
using test::ramp;
using test::WavSpec;
using Bytes = std::vector<std::uint8_t>;

std::string refusal(const Bytes& file) {
    auto parsed = parseWAV(file);
    auto* error = std::get_if<WAVError>(&parsed);
    return error ? error->description() : "accepted";
}

std::vector<std::int16_t> samplesOf(const Bytes& bytes) {
    std::vector<std::int16_t> out(bytes.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return out;
}

// Header checks run in this order; files that could not be played as a
// stream of whole 20 ms frames (one byte of samples would loop for ever) are
// refused as well.
TEST(WAVParsing, RefusesWhatCannotBePlayedWithTheTextOfTheFirstCheckThatFails) {
    const auto good = makeWav(WavSpec{}, ramp(320));
    EXPECT_EQ(refusal(Bytes(good.begin(), good.begin() + 44)), "WAV file too short (< 44 bytes)");
    const std::string rates = " Hz (only 50 to 48000 Hz supported)";
    const std::string channels = " (only 1 or 2 supported)";
    const std::string tooShort = " bytes (one 20 ms frame needs 640)";
    const std::vector<std::tuple<WavSpec, Bytes, std::string>> cases = {
        {{.riff = "RIFX"}, {}, "Invalid RIFF header"},
        {{.wave = "AVI "}, {}, "Invalid WAVE format"},
        {{.formatCode = 3, .bitsPerSample = 24},
         {},
         "Unsupported audio format: 3 (only PCM=1 supported)"},
        {{.bitsPerSample = 24}, {}, "Unsupported bit depth: 24 (only 16-bit supported)"},
        {{.sampleRate = 0}, {}, "Unsupported sample rate: 0" + rates},
        {{.sampleRate = 96000}, {}, "Unsupported sample rate: 96000" + rates},
        {{.channels = 6}, {}, "Unsupported channel count: 6" + channels},
        {{.channels = 0}, {}, "Unsupported channel count: 0" + channels},
        {{}, Bytes{7}, "WAV sample data too short: 1" + tooShort},
        {{}, Bytes(638, 1), "WAV sample data too short: 638" + tooShort},
        {{}, Bytes(640, 1), "accepted"},
    };
    for (const auto& [spec, pcm, text] : cases)
        EXPECT_EQ(refusal(pcm.empty() ? makeWav(spec, ramp(8000)) : makeWav(spec, pcm)), text);
}

TEST(WAVParsing, ReadsTheCanonicalHeaderAndTakesEverythingAfterItAsSamples) {
    const auto contents = std::get<WAVContents>(parseWAV(
        makeWav({.extraChunk = {'L', 'I', 'S', 'T', 4, 0, 0, 0, 'a', 'b', 'c', 'd'}}, ramp(640))));
    // Offset 44 now falls inside the LIST chunk: its bytes are played.
    EXPECT_EQ(contents.pcmData.size(), 4u + 8 + 1280);
    EXPECT_EQ(contents.pcmData[0], 'a');
    EXPECT_EQ(contents.inputFrameSize(), 640);
}

// Each sample frame is held for 48 kHz (3 times for 16 kHz) and mono doubled
// to stereo; stereo holds whole (left, right) frames and a trailing odd byte
// or half frame is ignored.
TEST(WAVConversion, HoldsEachSampleFrameAndDoublesMonoToStereo) {
    using Samples = std::vector<std::int16_t>;
    const std::tuple<std::int64_t, std::int64_t, Samples, Samples> cases[] = {
        {16000, 1, {1, -2}, {1, 1, 1, 1, 1, 1, -2, -2, -2, -2, -2, -2}},
        {48000, 2, {1, -2, 3, -4}, {1, -2, 3, -4}},
        {24000, 2, {10, -10, 20, -20, 30}, {10, -10, 10, -10, 20, -20, 20, -20}},
    };
    for (const auto& [rate, channels, in, expected] : cases) {
        const WAVContents contents{
            .sampleRate = rate, .channels = channels, .file = {}, .pcmData = {}};
        const auto file = makeWav(WavSpec{}, in);
        Bytes pcm(file.begin() + 44, file.end()), out;
        pcm.push_back(5);
        convertToOutputFormat(contents, pcm, out);
        EXPECT_EQ(samplesOf(out), expected) << rate;
    }
}

struct WAVPlayback : ::testing::Test {
    dispatch::ManualClock clock;
    test::MemoryChannels out;
    contract::Recorder<Bytes> chunks;
    std::vector<std::unique_ptr<test::TempFile>> files;

    std::shared_ptr<WAVFileSource> load(
        const Bytes& file, AudioProtocol::FrameType type = AudioProtocol::FrameType::mic) {
        files.push_back(std::make_unique<test::TempFile>("play.wav", file));
        auto source = WAVFileSource::create(files.back()->path(), type, clock, out.text());
        EXPECT_TRUE(source.ok());
        source.value()->setOnAudioData([this](std::span<const std::uint8_t> chunk) {
            chunks.add({chunk.begin(), chunk.end()});
        });
        return source.value();
    }
    std::vector<Bytes> delivered() { return chunks.values(); }
};

// One loop per source plays a frame per frame duration and starts over after
// the last whole frame; it ends on stop or inactive, and a start begins at the
// top again.
TEST_F(WAVPlayback, OneLoopPlaysEachWholeFrameInTurnUntilStoppedOrInactive) {
    // Three whole 640-byte frames and a 100-byte tail that is never played.
    auto source = load(makeWav(WavSpec{}, ramp(3 * 320 + 50)), AudioProtocol::FrameType::system);
    source->start({});
    source->start({});  // already active: one loop only
    clock.settle();
    EXPECT_EQ(delivered().size(), 1u);
    clock.advance(dispatch::milliseconds(20 * 3));
    auto frames = delivered();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[3], frames[0]);
    EXPECT_EQ(samplesOf(frames[1])[0], 320);
    clock.advance(dispatch::milliseconds(20 * 997));
    EXPECT_EQ(delivered().size(), 1001u);

    source->stop({});
    EXPECT_FALSE(source->isActive());
    clock.advance(dispatch::milliseconds(100));
    EXPECT_EQ(delivered().size(), 1001u);
    source->stop({});  // harmless

    source->start({});
    clock.settle();
    frames = delivered();
    EXPECT_EQ(frames.back(), frames.front());  // from read offset 0 again

    // Clearing isActive ends the loop at its next check.
    source->setIsActive(false);
    clock.advance(dispatch::milliseconds(100));
    EXPECT_EQ(delivered().size(), frames.size());
}

TEST_F(WAVPlayback, CreationPassesTheFileErrorOnAndRefusesBadContents) {
    auto missing = WAVFileSource::create("/nonexistent/dir/x.wav", AudioProtocol::FrameType::mic,
                                         clock, out.text());
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code, ENOENT);
    EXPECT_EQ(missing.error().localizedDescription(),
              "The file \xE2\x80\x9Cx.wav\xE2\x80\x9D couldn\xE2\x80\x99t be opened: No such file "
              "or directory");
    files.push_back(std::make_unique<test::TempFile>("bad.wav", Bytes(44, 0)));
    auto refused = WAVFileSource::create(files.back()->path(), AudioProtocol::FrameType::mic, clock,
                                         out.text());
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().localizedDescription(), "WAV file too short (< 44 bytes)");

    // Files that would be read for ever, or block the loop, are refused.
    for (const char* endless : {"/dev/zero", "/tmp"})
        EXPECT_FALSE(
            WAVFileSource::create(endless, AudioProtocol::FrameType::mic, clock, out.text()).ok())
            << endless;
    EXPECT_TRUE(out.lines().empty());
}

// TEST_WAV gives both streams one file: its samples are read into memory once
// and both sources play that one read-only buffer.
TEST_F(WAVPlayback, SourcesLoadedFromOneReadShareOneBufferOfSamples) {
    const Bytes file = makeWav(WavSpec{}, ramp(6400));
    test::TempFile wav("shared.wav", file);
    auto contents = WAVFileSource::load(wav.path());
    ASSERT_TRUE(contents.ok());
    auto mic = WAVFileSource::create(wav.path(), contents.value(), AudioProtocol::FrameType::mic,
                                     clock, out.text());
    auto system = WAVFileSource::create(wav.path(), std::move(contents).value(),
                                        AudioProtocol::FrameType::system, clock, out.text());
    const auto& shared = mic->contents().file;
    EXPECT_EQ(shared.use_count(), 2);
    // The read buffer itself holds the samples: no second copy was made.
    EXPECT_EQ(mic->contents().pcmData.data(), shared->data() + 44);
    EXPECT_EQ(system->contents().pcmData.data(), shared->data() + 44);
}

}  // namespace
}  // namespace ostrovane::sources
