#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <optional>
#include <semaphore>

#include "platform/ScreenStreamErrors.h"
#include "platform/pipewire/PipeWireVideoStream.h"
#include "platform/pipewire/VideoStreamParams.h"
#include "servers/PrivatePulseServer.h"
#include "servers/TiedProcess.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {
namespace {

using platform::Error;
using platform::Image;
using platform::pipewire::PipeWireVideoStream;
using Region = std::array<std::uint32_t, 4>;  // x, y, width, height
using namespace std::chrono_literals;

// A frame as the producer sends it.
struct Frame {
    std::vector<std::uint8_t> pixels;  // rows chunk.stride apart, in the announced format
    spa_chunk chunk{};
    std::uint32_t headerFlags = 0;
    spa_region crop{};
    std::optional<spa_meta_cursor> cursor;  // a 2x2 bitmap at bitmap_offset, if set
    std::vector<std::uint8_t> cursorRgba;
    std::vector<spa_region> damage;  // none: the damage array says nothing
};

// A screen-cast node as a compositor offers one: a driving output stream on
// the PipeWire at `socket` that announces one format and size and sends
// exactly the frames the test hands it, with the flags and metadata it asks.
class TestVideoProducer {
  public:
    std::uint32_t nodeId = SPA_ID_INVALID;

    TestVideoProducer(const std::string& socket, spa_video_format format, std::uint32_t width,
                      std::uint32_t height)
        : format_(format) {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("test-producer", nullptr);
        events_.version = PW_VERSION_STREAM_EVENTS;
        stream_ =
            pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "test-producer",
                                 pw_properties_new(PW_KEY_REMOTE_NAME, socket.c_str(),
                                                   PW_KEY_MEDIA_CLASS, "Video/Source", nullptr),
                                 &events_, this);
        // Buffers with room for padded rows, and the metadata the consumer reads.
        platform::pipewire::ParamList params;
        addFormat(params, width, height);
        params.add(static_cast<spa_pod*>(spa_pod_builder_add_object(
            params.builder(), SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
            SPA_PARAM_BUFFERS_size, SPA_POD_Int(1 << 16))));
        platform::pipewire::addBufferParams(params);
        pw_stream_connect(
            stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
            params.data(), params.size());
        pw_thread_loop_start(loop_);
        poll([&] { return (nodeId = pw_stream_get_node_id(stream_)) != SPA_ID_INVALID; });
    }
    ~TestVideoProducer() {
        pw_thread_loop_stop(loop_);
        disconnect();
        pw_thread_loop_destroy(loop_);
    }

    // Sends `frame` in a buffer of the current format and runs the graph
    // until the buffer has left; a consumer that has not taken the one
    // before by then loses that one. False when it did not leave in time.
    bool send(const Frame& frame) {
        pw_buffer* buffer = nullptr;
        pw_time time{};
        return poll([&] {
            if (!buffer && pw_stream_get_state(stream_, nullptr) == PW_STREAM_STATE_STREAMING &&
                (buffer = pw_stream_dequeue_buffer(stream_))) {
                spa_buffer& b = *buffer->buffer;
                if (!frame.pixels.empty())
                    std::memcpy(b.datas[0].data, frame.pixels.data(), frame.pixels.size());
                *b.datas[0].chunk = frame.chunk;
                meta<spa_meta_header>(b, SPA_META_Header)->flags = frame.headerFlags;
                meta<spa_meta_region>(b, SPA_META_VideoCrop)->region = frame.crop;
                if (spa_meta* damage = spa_buffer_find_meta(&b, SPA_META_VideoDamage)) {
                    auto* regions = static_cast<spa_meta_region*>(damage->data);
                    for (std::size_t i = 0; i < damage->size / sizeof(spa_meta_region); ++i)
                        regions[i].region =
                            i < frame.damage.size() ? frame.damage[i] : spa_region{};
                }
                auto* cursor = meta<spa_meta_cursor>(b, SPA_META_Cursor);
                *cursor = frame.cursor.value_or(spa_meta_cursor{});
                auto* bitmap = SPA_PTROFF(cursor, sizeof(spa_meta_cursor), spa_meta_bitmap);
                *bitmap = {SPA_VIDEO_FORMAT_RGBA, {2, 2}, 8, sizeof(spa_meta_bitmap)};
                if (!frame.cursorRgba.empty())
                    std::memcpy(bitmap + 1, frame.cursorRgba.data(), frame.cursorRgba.size());
                pw_stream_queue_buffer(stream_, buffer);
            }
            if (buffer && pw_stream_get_time_n(stream_, &time, sizeof time) == 0 &&
                time.queued_buffers == 0)
                return true;
            pw_stream_trigger_process(stream_);  // again if the consumer was still busy
            return false;
        });
    }
    // Runs one graph cycle, which hands a sent buffer to the consumer.
    void trigger() {
        poll([&] { return pw_stream_trigger_process(stream_), true; });
    }
    // Announces a new size; the consumer renegotiates.
    void resize(std::uint32_t width, std::uint32_t height) {
        poll([&] {
            platform::pipewire::ParamList params;
            addFormat(params, width, height);
            return pw_stream_update_params(stream_, params.data(), params.size()), true;
        });
    }
    // Removes the node, as a compositor ending its cast does.
    void disconnect() {
        poll(
            [&] { return !stream_ || (pw_stream_destroy(std::exchange(stream_, nullptr)), true); });
    }

  private:
    // Polls `done` with the loop locked until it holds or the limit passes.
    template <typename Done>
    bool poll(Done done) {
        return waitUntil(
            [&] {
                pw_thread_loop_lock(loop_);
                const bool held = done();
                pw_thread_loop_unlock(loop_);
                return held;
            },
            5s, 2ms);
    }
    template <typename T>
    static T* meta(spa_buffer& buffer, spa_meta_type type) {
        return static_cast<T*>(spa_buffer_find_meta_data(&buffer, type, sizeof(T)));
    }
    void addFormat(platform::pipewire::ParamList& params, std::uint32_t width,
                   std::uint32_t height) {
        spa_rectangle size{width, height};
        params.add(static_cast<spa_pod*>(spa_pod_builder_add_object(
            params.builder(), SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(format_),
            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size))));
    }

    spa_video_format format_;
    pw_stream_events events_{};  // none handled
    pw_thread_loop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;
};

constexpr std::uint32_t kWidth = 16;
constexpr std::uint32_t kHeight = 8;
constexpr Region kWhole{0, 0, kWidth, kHeight};

// Channel `c` (blue, green, red) at (x, y) of the picture made with `seed`.
std::uint8_t channel(std::uint32_t x, std::uint32_t y, std::uint32_t c, std::uint8_t seed) {
    return static_cast<std::uint8_t>(x * 16 + y * 30 + c * 70 + seed);
}

// The picture of `seed` in `format`, rows `padding` bytes longer than the
// pixels (0xEE, as is the fourth byte), the chunk ending at the last pixel.
Frame frameOf(spa_video_format format, std::uint8_t seed, std::uint32_t padding,
              std::uint32_t width = kWidth, std::uint32_t height = kHeight) {
    const bool redFirst = format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
    const std::uint32_t stride = width * 4 + padding;
    Frame frame;
    frame.chunk = {0, stride * (height - 1) + width * 4, static_cast<std::int32_t>(stride), 0};
    frame.pixels.assign(std::size_t{stride} * height, 0xEE);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            for (std::uint32_t c = 0; c < 3; ++c)
                frame.pixels[y * stride + x * 4 + (redFirst ? 2 - c : c)] = channel(x, y, c, seed);
    return frame;
}

// Where `image` differs from the opaque BGRA picture of `seed` cut to
// `region`; empty when it does not.
std::string mismatch(const Image& image, std::uint8_t seed, Region region) {
    const auto [x0, y0, width, height] = region;
    if (image.width() != width || image.height() != height)
        return "size " + std::to_string(image.width()) + "x" + std::to_string(image.height());
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width * 4; ++x)
            if (image.row(y)[x] != (x % 4 == 3 ? 255 : channel(x0 + x / 4, y0 + y, x % 4, seed)))
                return "pixel " + std::to_string(x / 4) + "," + std::to_string(y);
    return "";
}

class PipeWireVideoStreamTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server_.ready()) << server_.failure(); }

    // A descriptor connected to the daemon, as a portal hands one out.
    int connectDaemon() const { return connectSocket(server_.directory() + "/pipewire-0"); }

    // A producer of `format` and a consumer of its node.
    void start(spa_video_format format, bool drawCursor = false) {
        producer_ = std::make_unique<TestVideoProducer>(server_.directory() + "/pipewire-0", format,
                                                        kWidth, kHeight);
        PipeWireVideoStream::Options options;
        options.remoteFd = connectDaemon();
        options.nodeId = producer_->nodeId;
        options.drawCursor = drawCursor;
        options.onFailure = onFailure_.AsStdFunction();
        options.onFrame = [this] {
            if (hold_.exchange(false)) {
                called_.release();
                released_.try_acquire_for(5s);
            }
        };
        auto stream = PipeWireVideoStream::connect(options);
        close(options.remoteFd);  // the stream keeps a duplicate
        ASSERT_TRUE(stream.ok()) << stream.error().description();
        stream_ = std::move(stream).value();
    }

    // Runs the graph until `done` holds for the consumer.
    template <typename Done>
    bool settle(Done done) {
        return waitUntil([&] { return producer_->trigger(), done(); }, 5s, 2ms);
    }

    std::uint64_t handled() const {
        const auto s = stream_->stats();
        return s.framesReceived + s.framesDropped + s.framesSkipped;
    }

    // Sends `frame` and returns the image the consumer then shows.
    Image show(const Frame& frame) {
        Image image;
        EXPECT_TRUE(producer_->send(frame));
        EXPECT_TRUE(settle([&] { return stream_->takeLatest(image); }));
        return image;
    }

    // Any report a test does not expect fails it.
    ::testing::StrictMock<::testing::MockFunction<void(const Error&)>> onFailure_;
    // While set, the next onFrame signals `called_` and waits for `released_`.
    std::atomic<bool> hold_{false};
    std::binary_semaphore called_{0};
    std::binary_semaphore released_{0};
    // Declared after what its callbacks touch: the stream goes first.
    PrivatePulseServer server_{ServerKind::PipeWire};
    std::unique_ptr<TestVideoProducer> producer_;
    std::unique_ptr<PipeWireVideoStream> stream_;
};

// A padded frame of `format` arrives exactly; then one with `crop`, the
// flags and its chunk cut short by `cut` bytes is shown cut to `shown`, or
// dropped (none) and the first image stays.
struct FrameCase {
    const char* name;
    spa_video_format format;
    spa_region crop;
    std::int32_t headerFlags, chunkFlags;
    std::uint32_t cut;
    std::optional<Region> shown;
    friend void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }
};

class Frames : public PipeWireVideoStreamTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(Frames, AreShownAsOpaqueBgraOrDropped) {
    const FrameCase& c = GetParam();
    start(c.format);
    Image image = show(frameOf(c.format, 1, 24));
    EXPECT_EQ(mismatch(image, 1, kWhole), "");
    auto frame = frameOf(c.format, 2, 40);
    std::tie(frame.crop, frame.headerFlags, frame.chunk.flags) =
        std::tie(c.crop, c.headerFlags, c.chunkFlags);
    frame.chunk.size -= std::min(c.cut, frame.chunk.size);
    ASSERT_TRUE(producer_->send(frame));
    ASSERT_TRUE(settle([&] { return handled() == 2; }));
    EXPECT_EQ(stream_->takeLatest(image), c.shown.has_value());
    EXPECT_EQ(mismatch(image, c.shown ? 2 : 1, c.shown.value_or(kWhole)), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Frames,
    ::testing::Values(
        FrameCase{"Cropped", SPA_VIDEO_FORMAT_BGRx, {{3, 2}, {5, 4}}, 0, 0, 0, Region{3, 2, 5, 4}},
        FrameCase{"CropPastTheFrame", SPA_VIDEO_FORMAT_RGBx, {{12, 2}, {5, 4}}, 0, 0, 0, kWhole},
        FrameCase{
            "HeaderCorrupted", SPA_VIDEO_FORMAT_BGRA, {}, SPA_META_HEADER_FLAG_CORRUPTED, 0, 0, {}},
        FrameCase{"ChunkCorrupted", SPA_VIDEO_FORMAT_RGBA, {}, 0, SPA_CHUNK_FLAG_CORRUPTED, 0, {}},
        FrameCase{"EmptyChunk", SPA_VIDEO_FORMAT_BGRx, {}, 0, 0, ~0u, {}},
        FrameCase{"ChunkShortOfTheLastPixel", SPA_VIDEO_FORMAT_RGBx, {}, 0, 0, 1, {}}),
    [](const auto& info) { return info.param.name; });

// Only the newest of several queued buffers is shown; a new size gives
// images of that size.
TEST_F(PipeWireVideoStreamTest, OnlyTheNewestOfSeveralQueuedBuffersIsShownAtTheLatestSize) {
    start(SPA_VIDEO_FORMAT_BGRx);
    hold_ = true;
    ASSERT_TRUE(producer_->send(frameOf(SPA_VIDEO_FORMAT_BGRx, 1, 0)));
    ASSERT_TRUE(settle([&] { return called_.try_acquire(); }));
    // Each send waits until its buffer has left the producer: 2 and 3 at
    // least queue up together behind the blocked onFrame.
    for (std::uint8_t seed : {2, 3, 4})
        ASSERT_TRUE(producer_->send(frameOf(SPA_VIDEO_FORMAT_BGRx, seed, 0)));
    released_.release();
    // At least the four sent; the count tells what came when fewer did.
    ASSERT_TRUE(settle([&] { return handled() >= 4; })) << handled() << " handled";
    Image image;
    ASSERT_TRUE(stream_->takeLatest(image));
    EXPECT_EQ(mismatch(image, 4, kWhole), "");

    producer_->resize(24, 12);
    ASSERT_TRUE(settle([&] { return stream_->stats().height == 12; }));
    // The producer's own buffers follow the new format a moment after the
    // consumer's: a frame sent before they did goes with them, so the frame
    // is sent until one arrives.
    const Frame next = frameOf(SPA_VIDEO_FORMAT_BGRx, 5, 0, 24, 12);
    ASSERT_TRUE(waitUntil(
        [&] {
            producer_->send(next);
            return waitUntil([&] { return producer_->trigger(), stream_->takeLatest(image); },
                             300ms, 2ms);
        },
        5s, 0ms));
    EXPECT_EQ(mismatch(image, 5, {0, 0, 24, 12}), "");
}

TEST_F(PipeWireVideoStreamTest, ACursorIsBlendedInAndKeepsItsBitmapWhenMoved) {
    start(SPA_VIDEO_FORMAT_BGRx, true);
    // A grey frame; a 2x2 cursor pointing with its bottom-right pixel at
    // (5, 3): opaque red, half-transparent white, transparent, opaque blue.
    auto frame = frameOf(SPA_VIDEO_FORMAT_BGRx, 0, 0);
    std::fill(frame.pixels.begin(), frame.pixels.end(), 0x40);
    frame.cursor = spa_meta_cursor{1, 0, {5, 3}, {1, 1}, sizeof(spa_meta_cursor)};
    frame.cursorRgba = {255, 0, 0, 255, 255, 255, 255, 128, 0, 255, 0, 0, 0, 0, 255, 255};
    Image image = show(frame);
    const auto bgr = [&](std::uint32_t x, std::uint32_t y) {
        return std::vector<int>(image.row(y) + x * 4, image.row(y) + x * 4 + 3);
    };
    const std::vector<int> grey{0x40, 0x40, 0x40}, red{0, 0, 255};
    EXPECT_EQ(bgr(4, 2), red);
    EXPECT_EQ(bgr(5, 2), (std::vector<int>{160, 160, 160}));
    EXPECT_EQ(bgr(4, 3), grey);
    // Moved past the corner of a cropped frame, without a new bitmap: the
    // old one, clipped, at the corner of the crop.
    frame.crop = {{2, 1}, {14, 7}};
    frame.cursor = spa_meta_cursor{1, 0, {kWidth, kHeight}, {1, 1}, 0};
    image = show(frame);
    EXPECT_EQ(bgr(13, 6), red);
    EXPECT_EQ(bgr(4, 2), grey);

    // A new shape carried only by a buffer that queued up behind a held
    // consumer, and so was skipped, is the shape drawn from then on.
    frame.crop = {};
    frame.cursor = spa_meta_cursor{1, 0, {5, 3}, {1, 1}, 0};
    hold_ = true;
    ASSERT_TRUE(producer_->send(frame));
    ASSERT_TRUE(settle([&] { return called_.try_acquire(); }));
    const std::uint64_t before = handled();
    Frame reshaped = frame;
    reshaped.cursor = spa_meta_cursor{1, 0, {5, 3}, {1, 1}, sizeof(spa_meta_cursor)};
    reshaped.cursorRgba = {0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255};
    for (const Frame* next : {&reshaped, &frame, &frame})
        ASSERT_TRUE(producer_->send(*next));
    released_.release();
    ASSERT_TRUE(settle([&] { return handled() >= before + 3; })) << handled() << " handled";
    ASSERT_TRUE(stream_->takeLatest(image));
    EXPECT_EQ(bgr(4, 2), (std::vector<int>{255, 0, 0}));  // blue, in BGR
}

// Whether the daemon dies (or else the producer ends).
class StreamLoss : public PipeWireVideoStreamTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StreamLoss, IsReportedOnce) {
    // Set before the consumer's thread exists: gmock wants no call meanwhile.
    EXPECT_CALL(
        onFailure_,
        Call(::testing::Field(
            &Error::message,
            ::testing::HasSubstr(GetParam() ? "connection to PipeWire was lost" : "stream"))))
        .WillOnce([&] { called_.release(); });
    start(SPA_VIDEO_FORMAT_BGRx);
    show(frameOf(SPA_VIDEO_FORMAT_BGRx, 1, 0));
    if (GetParam())
        server_.kill();
    else
        producer_->disconnect();
    ASSERT_TRUE(called_.try_acquire_for(5s));
    std::this_thread::sleep_for(200ms);  // room for a second report
}

INSTANTIATE_TEST_SUITE_P(Causes, StreamLoss, ::testing::Values(false, true), [](const auto& info) {
    return info.param ? "DaemonDies" : "ProducerEnds";
});

// What changed since the image taken before: the producer's damage cut to
// the image and gathered over buffers not taken; all of it for the first
// image and where a buffer's damage says nothing.
TEST_F(PipeWireVideoStreamTest, AnImageSaysWhatTheProducerDamagedSinceTheOneTakenBefore) {
    using platform::PixelRect;
    start(SPA_VIDEO_FORMAT_BGRx);
    Image image;
    platform::PictureChange change;
    const auto send = [&](std::vector<spa_region> damage) {
        Frame frame = frameOf(SPA_VIDEO_FORMAT_BGRx, 1, 0);
        frame.damage = std::move(damage);
        EXPECT_TRUE(producer_->send(frame));
    };
    const auto take = [&] {
        EXPECT_TRUE(settle([&] { return stream_->takeLatest(image, change); }));
        return change.all ? std::optional<std::vector<PixelRect>>() : change.parts;
    };
    send({{{2, 1}, {3, 2}}});
    EXPECT_EQ(take(), std::nullopt);
    send({{{2, 1}, {3, 2}}, {{14, 6}, {5, 5}}});
    EXPECT_THAT(take(), ::testing::Optional(
                            ::testing::ElementsAre(PixelRect{2, 1, 3, 2}, PixelRect{14, 6, 2, 2})));
    const std::uint64_t before = handled();
    send({{{0, 0}, {1, 1}}});
    send({{{5, 5}, {1, 1}}});
    ASSERT_TRUE(settle([&] { return handled() == before + 2; }));
    EXPECT_THAT(take(), ::testing::Optional(
                            ::testing::ElementsAre(PixelRect{0, 0, 1, 1}, PixelRect{5, 5, 1, 1})));
    send({});
    EXPECT_EQ(take(), std::nullopt);
}

TEST_F(PipeWireVideoStreamTest, ConnectFailsWithinItsTimeout) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const int daemon = connectDaemon();
    // A socket nobody answers on, a closed descriptor, a node that is not there.
    for (const auto& [fd, node] :
         {std::pair{pair[0], 0u}, std::pair{999, 0u}, std::pair{daemon, 4000u}}) {
        const auto begun = std::chrono::steady_clock::now();
        const auto stream = PipeWireVideoStream::connect({.remoteFd = fd,
                                                          .nodeId = node,
                                                          .timeout = 300ms,
                                                          .onFailure = {},
                                                          .onFrame = {},
                                                          .log = {}});
        EXPECT_LT(std::chrono::steady_clock::now() - begun, 3s) << fd;
        ASSERT_FALSE(stream.ok()) << fd;
        EXPECT_EQ(stream.error().code, platform::kPipeWireCode);
    }
    for (const int fd : {pair[0], pair[1], daemon})
        close(fd);
}

}  // namespace
}  // namespace ostrovane::test
