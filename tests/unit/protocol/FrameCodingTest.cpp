#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/FrameReader.h"
#include "protocol/FrameWriter.h"

namespace ostrovane::protocol {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;
using FrameType = AudioProtocol::FrameType;
using Bytes = std::vector<std::uint8_t>;

Bytes samplesLE(std::initializer_list<std::int16_t> samples) {
    Bytes bytes;
    for (const auto sample : samples) {
        const auto raw = static_cast<std::uint16_t>(sample);
        bytes.push_back(static_cast<std::uint8_t>(raw & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(raw >> 8));
    }
    return bytes;
}

// Frame types 1 to 3 alone are known.
TEST(FrameEncodingTest, BothHeadersMatchTheDocumentedLayoutOfTheThreeKnownTypes) {
    EXPECT_EQ(AudioProtocol::frameType(1), FrameType::mic);
    EXPECT_EQ(AudioProtocol::frameType(2), FrameType::system);
    EXPECT_EQ(AudioProtocol::frameType(3), FrameType::video);
    for (const int raw : {0, 4, 0x41, 255})
        EXPECT_FALSE(AudioProtocol::frameType(static_cast<std::uint8_t>(raw))) << raw;

    const std::vector<std::uint8_t> pcm(3840, 0xAB);
    const auto frame = encodeAudioFrame(FrameType::mic, 48000, 2, 16, 0.5, pcm, 7);

    ASSERT_EQ(frame.size(), 24u + 3840u);
    EXPECT_THAT(
        std::vector(frame.begin(), frame.begin() + 24),
        ElementsAre(0x41, 0x50, 0x4C, 0x44, 0x01, 0x01, 0x80, 0xBB, 0x02, 0x10, 0xFF, 0x7F, 0x00,
                    0x0F, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00));
    EXPECT_THAT(std::vector(frame.begin() + 24, frame.end()), ElementsAreArray(pcm));

    const std::vector<std::uint8_t> nal{0, 0, 0, 1, 0x65, 0x88};
    const auto key = encodeVideoFrame(1920, 1080, 10, true, 0x0102030405060708, nal, 0x0A0B0C0D);

    EXPECT_THAT(key, ElementsAre(0x41, 0x50, 0x4C, 0x44, 0x02, 0x03,  // magic, version, type
                                 0x80, 0x07, 0x38, 0x04, 0x0A, 0x01,  // 1920x1080@10, key
                                 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // pts
                                 0x06, 0x00, 0x00, 0x00,                          // payload length
                                 0x0D, 0x0C, 0x0B, 0x0A,                          // sequence
                                 0x00, 0x00, 0x00, 0x00,                          // reserved
                                 0, 0, 0, 1, 0x65, 0x88));
}

TEST(LevelFromRmsTest, ScalesTruncatesAndSaturates) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<double, int> cases[] = {
        {0.0, 0},     {0.5, 32767}, {0.99999999, 65534}, {1.0, 65535}, {1.2, 65535},
        {inf, 65535}, {-0.3, 0},    {-inf, 0},           {nan, 65535}, {-nan, 65535}};
    for (const auto& [rms, level] : cases)
        EXPECT_EQ(levelFromRms(rms), level) << rms;
}

// Little-endian 16-bit samples, a trailing odd byte ignored; RMS, not the
// mean absolute value; negative full scale reads above 1 (its level saturates).
TEST(CalculateRmsTest, IsTheRootMeanSquareOfWholeLittleEndianSamples) {
    auto withOddByte = samplesLE({16384, -16384});
    withOddByte.push_back(0x7F);
    const std::pair<std::vector<std::uint8_t>, double> cases[] = {
        {{}, 0.0},
        {{0x7F}, 0.0},
        {std::vector<std::uint8_t>(3840, 0), 0.0},
        {samplesLE({32767}), 1.0},
        {samplesLE({32767, -32767, 32767, -32767}), 1.0},
        {samplesLE({-32768, -32768}), 32768.0 / 32767.0},
        {{0x01, 0x00}, 1.0 / 32767.0},
        {withOddByte, 16384.0 / 32767.0},
        {samplesLE({30000, 0}), std::sqrt((30000.0 / 32767.0) * (30000.0 / 32767.0) / 2.0)},
    };
    for (const auto& [bytes, rms] : cases)
        EXPECT_DOUBLE_EQ(calculateRMSInt16(bytes), rms) << bytes.size() << " bytes";
}

void append(Bytes& stream, const Bytes& frame) {
    stream.insert(stream.end(), frame.begin(), frame.end());
}

Bytes audioFrame(std::uint32_t sequence = 1, std::size_t payloadSize = 8) {
    return encodeAudioFrame(FrameType::mic, 48000, 2, 16, 0.5, Bytes(payloadSize, 0x11), sequence);
}

Bytes videoFrame(std::uint32_t sequence = 1, std::size_t payloadSize = 8) {
    return encodeVideoFrame(1280, 720, 30, false, 5000, Bytes(payloadSize, 0x22), sequence);
}

// Feeds `stream` in pieces of `chunk` bytes, then ends it; collects frames
// until the reader stops.
struct ReadOutcome {
    std::vector<Frame> frames;
    ReadStatus status = ReadStatus::needMoreData;
    std::optional<ReadError> error;
};

ReadOutcome readInChunks(const Bytes& stream, std::size_t chunk, FrameReaderOptions options = {}) {
    FrameReader reader(options);
    ReadOutcome outcome;
    Frame frame;
    auto drain = [&] {
        while ((outcome.status = reader.next(frame)) == ReadStatus::frame)
            outcome.frames.push_back(frame);
    };
    for (std::size_t offset = 0; offset < stream.size(); offset += chunk) {
        reader.feed(std::span(stream).subspan(offset, std::min(chunk, stream.size() - offset)));
        drain();
    }
    reader.finish();
    drain();
    outcome.error = reader.error();
    return outcome;
}

TEST(FrameReaderTest, DecodesEveryFieldOfBothLayoutsWhateverTheChunking) {
    Bytes pcm(3840);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<std::uint8_t>(i);
    const Bytes nal{0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x65};
    Bytes stream;
    append(stream, encodeAudioFrame(FrameType::mic, 48000, 2, 16, 0.5, pcm, 7));
    append(stream, encodeAudioFrame(FrameType::system, 0xFFFF, 0xFF, 0xFF, 1.5, {}, 0xFFFFFFFF));
    const std::uint64_t pts = 0xFEDCBA9876543210;
    append(stream, encodeVideoFrame(1920, 1080, 10, true, pts, nal, 3));
    append(stream, encodeVideoFrame(1, 2, 255, false, 0, {}, 4));

    // Each field at its full width; offsets count from the stream's start.
    const std::vector<Frame> expected{
        {0, 1, FrameType::mic, 3840, 7, {}, AudioHeader{48000, 2, 16, 32767}, pcm},
        {3864, 1, FrameType::system, 0, 0xFFFFFFFF, {}, AudioHeader{0xFFFF, 0xFF, 0xFF, 65535}, {}},
        {3888, 2, FrameType::video, 11, 3, {}, VideoHeader{1920, 1080, 10, 1, pts}, nal},
        {3931, 2, FrameType::video, 0, 4, {}, VideoHeader{1, 2, 255, 2, 0}, {}}};
    for (const std::size_t chunk :
         {stream.size(), std::size_t{1}, std::size_t{5}, std::size_t{31}, std::size_t{4096}}) {
        const auto outcome = readInChunks(stream, chunk);
        EXPECT_EQ(outcome.status, ReadStatus::endOfStream) << "chunk " << chunk;
        EXPECT_EQ(outcome.frames, expected) << "chunk " << chunk;
    }
    // All at once: the frames, or the error thrown.
    EXPECT_EQ(readAllFrames(stream), expected);
    EXPECT_TRUE(readAllFrames({}).empty());
    stream.pop_back();
    EXPECT_THAT([&] { readAllFrames(stream); },
                ThrowsMessage<FrameReadError>(HasSubstr("offset 3931: stream ended inside")));
}

// Rejected frames and where their fault lies, in the second frame of a stream.
std::function<void(Bytes&)> setByte(std::size_t at, std::uint8_t value) {
    return [=](Bytes& b) { b[at] = value; };
}
std::function<void(Bytes&)> cutTo(std::size_t size) {
    return [=](Bytes& b) { b.resize(size); };
}
struct Corruption {
    const char* name;
    bool video;
    std::function<void(Bytes&)> corrupt;
    ReadErrorKind kind;
    std::string messagePart;
};
const Corruption kCorruptions[] = {
    {"badMagic", false, setByte(3, 'X'), ReadErrorKind::badMagic,
     "bad magic 41 50 4C 58 (expected 41 50 4C 44)"},
    {"textInsteadOfFrame", false,
     [](Bytes& b) {
         b.assign({'E', 'V', 'E', 'N', 'T', ':'});
     },
     ReadErrorKind::badMagic, "45 56 45 4E"},
    {"unknownVersion", false, setByte(4, 3), ReadErrorKind::badVersion, "unknown version 3"},
    {"audioWithVideoType", false, setByte(5, 3), ReadErrorKind::badType,
     "type 3 does not belong to version 1"},
    {"videoWithAudioType", true, setByte(5, 1), ReadErrorKind::badType,
     "type 1 does not belong to version 2"},
    {"audioReserved", false, setByte(23, 0x80), ReadErrorKind::reservedNotZero,
     "reserved bytes 00 00 00 80"},
    {"videoReserved", true, setByte(28, 1), ReadErrorKind::reservedNotZero,
     "reserved bytes 01 00 00 00"},
    {"videoKindZero", true, setByte(11, 0), ReadErrorKind::badFrameKind, "video frame kind 0"},
    // Only the header is present: the length alone must be rejected, before
    // anything waits for (or allocates) four gigabytes.
    {"hugeLength", false,
     [](Bytes& b) {
         b.resize(24);
         b[12] = b[13] = b[14] = b[15] = 0xFF;
     },
     ReadErrorKind::payloadTooLarge, "payload length 4294967295 exceeds"},
    {"truncatedHeader", false, cutTo(10), ReadErrorKind::truncated,
     "inside the frame header after 10 bytes"},
    {"videoTruncatedPayload", true, cutTo(39), ReadErrorKind::truncated, "after 39 bytes of 40"}};

// The bad frame follows a good one: the good frame is still delivered, the
// error names the bad frame's offset, and the reader stays failed.
TEST(FrameReaderTest, RejectsACorruptFrameWithAClearMessageAndStaysFailed) {
    for (const Corruption& corruption : kCorruptions) {
        SCOPED_TRACE(corruption.name);
        const Bytes good = audioFrame(1);
        Bytes bad = corruption.video ? videoFrame(2) : audioFrame(2);
        corruption.corrupt(bad);
        Bytes stream = good;
        append(stream, bad);
        for (const std::size_t chunk : {stream.size(), std::size_t{1}}) {
            const auto outcome = readInChunks(stream, chunk);
            ASSERT_EQ(outcome.frames.size(), 1u);
            ASSERT_EQ(outcome.status, ReadStatus::error);
            EXPECT_EQ(outcome.error->kind, corruption.kind);
            EXPECT_EQ(outcome.error->offset, good.size());
            EXPECT_THAT(outcome.error->message, HasSubstr("offset " + std::to_string(good.size())));
            EXPECT_THAT(outcome.error->message, HasSubstr(corruption.messagePart));
        }
        if (corruption.kind == ReadErrorKind::truncated)
            continue;  // only end of stream makes a partial frame an error
        FrameReader reader;
        reader.feed(bad);
        Frame frame;
        EXPECT_EQ(reader.next(frame), ReadStatus::error);
        reader.feed(good);
        EXPECT_EQ(reader.next(frame), ReadStatus::error);
        EXPECT_EQ(reader.error()->kind, corruption.kind);
    }
    // The payload limit is the reader's option.
    const Bytes big = audioFrame(1, 1000);
    EXPECT_EQ(readInChunks(big, big.size(), {.maxPayloadLength = 1000}).frames.size(), 1u);
    EXPECT_EQ(readInChunks(big, big.size(), {.maxPayloadLength = 999}).error->kind,
              ReadErrorKind::payloadTooLarge);
}

}  // namespace
}  // namespace ostrovane::protocol
