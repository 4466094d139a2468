#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "pipewire/TestVideoProducer.h"
#include "platform/pipewire/PipeWireVideoStream.h"
#include "platform/wayland/WaylandErrors.h"
#include "servers/PrivatePulseServer.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {
namespace {

using platform::Error;
using platform::Image;
using platform::pipewire::PipeWireVideoStream;
using namespace std::chrono_literals;

constexpr std::uint32_t kWidth = 16;
constexpr std::uint32_t kHeight = 8;

// The colour a frame made with `seed` has at (x, y), as blue, green, red.
std::array<std::uint8_t, 3> colourAt(std::uint32_t x, std::uint32_t y, std::uint8_t seed) {
    return {static_cast<std::uint8_t>(x * 16 + seed), static_cast<std::uint8_t>(y * 30 + seed),
            static_cast<std::uint8_t>(x * 5 + y * 7 + 100 + seed)};
}

// A width x height frame of `format`, rows `padding` bytes longer than the
// pixels; the fourth byte of each pixel is never 255.
TestVideoProducer::Frame frameOf(spa_video_format format, std::uint8_t seed,
                                 std::uint32_t width = kWidth, std::uint32_t height = kHeight,
                                 std::uint32_t padding = 0) {
    const bool redFirst = format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
    TestVideoProducer::Frame frame;
    frame.stride = width * 4 + padding;
    frame.pixels.assign(std::size_t{frame.stride} * height, 0xEE);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const auto [b, g, r] = colourAt(x, y, seed);
            std::uint8_t* p = &frame.pixels[y * frame.stride + x * 4];
            p[0] = redFirst ? r : b;
            p[1] = g;
            p[2] = redFirst ? b : r;
            p[3] = 0x10;
        }
    return frame;
}

// Where `image` differs from the opaque picture of `seed` cut at (x0, y0);
// empty when it does not.
std::string mismatch(const Image& image, std::uint8_t seed, std::uint32_t width,
                     std::uint32_t height, std::uint32_t x0 = 0, std::uint32_t y0 = 0) {
    if (image.width() != width || image.height() != height)
        return "size " + std::to_string(image.width()) + "x" + std::to_string(image.height());
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const auto [b, g, r] = colourAt(x0 + x, y0 + y, seed);
            const std::uint8_t* p = image.row(y) + x * 4;
            if (p[0] != b || p[1] != g || p[2] != r || p[3] != 255)
                return "pixel " + std::to_string(x) + "," + std::to_string(y);
        }
    return "";
}

class PipeWireVideoStreamTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server_.ready()) << server_.failure(); }

    std::string socket() const { return server_.directory() + "/pipewire-0"; }

    // A producer of `format` and a consumer of its node, through a socket of
    // the test's own as a portal hands one out.
    void start(spa_video_format format, bool drawCursor = false) {
        producer_ = std::make_unique<TestVideoProducer>(socket(), format, kWidth, kHeight);
        ASSERT_TRUE(producer_->ready()) << producer_->failure();
        PipeWireVideoStream::Options options;
        options.remoteFd = connectSocket(socket());
        options.nodeId = producer_->nodeId();
        options.drawCursor = drawCursor;
        options.onFailure = [this](const Error& error) {
            std::lock_guard<std::mutex> lock(mutex_);
            failures_.push_back(error);
        };
        options.onFrame = [this] {
            std::unique_lock<std::mutex> lock(mutex_);
            entered_ = true;
            changed_.notify_all();
            changed_.wait_for(lock, 5s, [this] { return !hold_; });
        };
        auto stream = PipeWireVideoStream::connect(options);
        close(options.remoteFd);  // the stream keeps a duplicate
        ASSERT_TRUE(stream.ok()) << stream.error().description();
        stream_ = std::move(stream).value();
        ASSERT_TRUE(producer_->waitStreaming());
    }

    // Runs the graph until `done` holds for the consumer.
    template <typename Done>
    bool settle(Done done) {
        return waitUntil(
            [&] {
                producer_->trigger();
                return done();
            },
            5s, 2ms);
    }

    // Sends `frame` and returns the image the consumer then shows.
    Image show(const TestVideoProducer::Frame& frame) {
        Image image;
        EXPECT_TRUE(producer_->send(frame));
        EXPECT_TRUE(settle([&] { return stream_->takeLatest(image); }));
        return image;
    }

    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = false;
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Error> failures_;
    bool hold_ = false;  // onFrame waits while set
    bool entered_ = false;
    // Declared after what its callbacks touch: the stream goes first.
    PrivatePulseServer server_{ServerKind::PipeWire};
    std::unique_ptr<TestVideoProducer> producer_;
    std::unique_ptr<PipeWireVideoStream> stream_;
};

struct LayoutCase {
    const char* name;
    spa_video_format format;
    std::uint32_t padding;
    std::optional<spa_region> crop;
    std::array<std::uint32_t, 4> shown;  // x, y, width, height
    friend void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.name; }
};

class FrameLayout : public PipeWireVideoStreamTest,
                    public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(FrameLayout, ArrivesAsOpaqueBgraOfTheShownRegion) {
    const LayoutCase& c = GetParam();
    start(c.format);
    auto frame = frameOf(c.format, 3, kWidth, kHeight, c.padding);
    frame.crop = c.crop;
    const Image image = show(frame);
    EXPECT_EQ(mismatch(image, 3, c.shown[2], c.shown[3], c.shown[0], c.shown[1]), "");
    EXPECT_EQ(stream_->stats().framesReceived, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FrameLayout,
    ::testing::Values(
        LayoutCase{"BGRxTight", SPA_VIDEO_FORMAT_BGRx, 0, {}, {0, 0, kWidth, kHeight}},
        LayoutCase{"BGRAPadded", SPA_VIDEO_FORMAT_BGRA, 24, {}, {0, 0, kWidth, kHeight}},
        LayoutCase{"RGBxPadded", SPA_VIDEO_FORMAT_RGBx, 40, {}, {0, 0, kWidth, kHeight}},
        LayoutCase{"RGBA", SPA_VIDEO_FORMAT_RGBA, 0, {}, {0, 0, kWidth, kHeight}},
        LayoutCase{"Cropped", SPA_VIDEO_FORMAT_RGBx, 8, spa_region{{3, 2}, {5, 4}}, {3, 2, 5, 4}},
        LayoutCase{"CropPastTheFrame",
                   SPA_VIDEO_FORMAT_BGRx,
                   0,
                   spa_region{{12, 2}, {5, 4}},
                   {0, 0, kWidth, kHeight}}),
    [](const auto& info) { return info.param.name; });

struct DropCase {
    const char* name;
    void (*spoil)(TestVideoProducer::Frame&);
    friend void PrintTo(const DropCase& c, std::ostream* out) { *out << c.name; }
};

class BadBuffer : public PipeWireVideoStreamTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(BadBuffer, IsDroppedAndTheLastImageStays) {
    start(SPA_VIDEO_FORMAT_BGRx);
    Image image = show(frameOf(SPA_VIDEO_FORMAT_BGRx, 1));
    const auto before = stream_->stats();
    auto bad = frameOf(SPA_VIDEO_FORMAT_BGRx, 2, kWidth, kHeight, 8);
    GetParam().spoil(bad);
    ASSERT_TRUE(producer_->send(bad));
    ASSERT_TRUE(settle([&] { return stream_->stats().framesDropped == before.framesDropped + 1; }));
    EXPECT_EQ(stream_->stats().framesReceived, before.framesReceived);
    EXPECT_FALSE(stream_->takeLatest(image));
    EXPECT_EQ(mismatch(image, 1, kWidth, kHeight), "");
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, BadBuffer,
    ::testing::Values(
        DropCase{"HeaderCorrupted",
                 [](auto& f) { f.headerFlags = SPA_META_HEADER_FLAG_CORRUPTED; }},
        DropCase{"ChunkCorrupted", [](auto& f) { f.chunkFlags = SPA_CHUNK_FLAG_CORRUPTED; }},
        DropCase{"EmptyChunk", [](auto& f) { f.chunkSize = 0; }},
        DropCase{"ChunkShorterThanItsRows",
                 [](auto& f) { f.chunkSize = f.stride * (kHeight - 1) + kWidth * 4 - 1; }},
        DropCase{"StrideShorterThanARow", [](auto& f) { f.stride = kWidth * 4 - 4; }}),
    [](const auto& info) { return info.param.name; });

TEST_F(PipeWireVideoStreamTest, OnlyTheNewestOfSeveralQueuedBuffersIsShown) {
    start(SPA_VIDEO_FORMAT_BGRx);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = true;  // the consumer's thread stops in its first onFrame
    }
    ASSERT_TRUE(producer_->send(frameOf(SPA_VIDEO_FORMAT_BGRx, 1)));
    ASSERT_TRUE(settle([&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return entered_;
    }));
    // Each send waits until the consumer's data thread has taken the buffer
    // before: 2 and 3 at least wait together for the blocked thread.
    for (std::uint8_t seed : {2, 3, 4})
        ASSERT_TRUE(producer_->send(frameOf(SPA_VIDEO_FORMAT_BGRx, seed)));
    release();
    ASSERT_TRUE(settle([&] {
        const auto s = stream_->stats();
        return s.framesReceived + s.framesSkipped == 4;
    }));
    EXPECT_GE(stream_->stats().framesSkipped, 1u);
    Image image;
    ASSERT_TRUE(stream_->takeLatest(image));
    EXPECT_EQ(mismatch(image, 4, kWidth, kHeight), "");
    EXPECT_FALSE(stream_->takeLatest(image));
}

TEST_F(PipeWireVideoStreamTest, ANewSizeGivesImagesOfThatSize) {
    start(SPA_VIDEO_FORMAT_BGRA);
    EXPECT_EQ(mismatch(show(frameOf(SPA_VIDEO_FORMAT_BGRA, 1)), 1, kWidth, kHeight), "");
    producer_->resize(24, 12);
    ASSERT_TRUE(settle([&] { return stream_->stats().width == 24; }));
    EXPECT_EQ(stream_->stats().height, 12u);
    EXPECT_EQ(mismatch(show(frameOf(SPA_VIDEO_FORMAT_BGRA, 2, 24, 12)), 2, 24, 12), "");
}

TEST_F(PipeWireVideoStreamTest, ACursorIsBlendedInAndKeepsItsBitmapWhenMoved) {
    start(SPA_VIDEO_FORMAT_BGRx, true);
    // A grey frame; a 2x2 cursor pointing at its bottom-right pixel: opaque
    // red, half-transparent white, transparent, opaque blue.
    TestVideoProducer::Frame frame;
    frame.stride = kWidth * 4;
    frame.pixels.assign(std::size_t{frame.stride} * kHeight, 0x40);
    frame.cursor = TestVideoProducer::Cursor{1,
                                             5,
                                             3,
                                             1,
                                             1,
                                             2,
                                             2,
                                             {255, 0, 0, 255, 255, 255, 255, 128,  //
                                              0, 255, 0, 0, 0, 0, 255, 255}};
    Image image = show(frame);
    const auto pixel = [&](std::uint32_t x, std::uint32_t y) {
        const std::uint8_t* p = image.row(y) + x * 4;
        return std::vector<int>{p[0], p[1], p[2], p[3]};
    };
    EXPECT_EQ(pixel(4, 2), (std::vector<int>{0, 0, 255, 255}));
    EXPECT_EQ(pixel(5, 2), (std::vector<int>{160, 160, 160, 255}));
    EXPECT_EQ(pixel(4, 3), (std::vector<int>{0x40, 0x40, 0x40, 255}));
    EXPECT_EQ(pixel(5, 3), (std::vector<int>{255, 0, 0, 255}));
    EXPECT_EQ(pixel(6, 3), (std::vector<int>{0x40, 0x40, 0x40, 255}));

    // Moved to the bottom-right corner without a new bitmap: clipped there.
    frame.cursor = TestVideoProducer::Cursor{1, kWidth, kHeight, 1, 1, 0, 0, {}};
    image = show(frame);
    EXPECT_EQ(pixel(kWidth - 1, kHeight - 1), (std::vector<int>{0, 0, 255, 255}));
    EXPECT_EQ(pixel(4, 2), (std::vector<int>{0x40, 0x40, 0x40, 255}));
}

struct LossCase {
    const char* name;
    void (*cause)(PipeWireVideoStreamTest&);
    const char* message;
    friend void PrintTo(const LossCase& c, std::ostream* out) { *out << c.name; }
};

class StreamLoss : public PipeWireVideoStreamTest, public ::testing::WithParamInterface<LossCase> {
  public:
    void endProducer() { producer_->disconnect(); }
    void killServer() { server_.kill(); }
};

TEST_P(StreamLoss, IsReportedOnce) {
    start(SPA_VIDEO_FORMAT_BGRx);
    show(frameOf(SPA_VIDEO_FORMAT_BGRx, 1));
    GetParam().cause(*this);
    ASSERT_TRUE(waitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return !failures_.empty();
        },
        5s));
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_EQ(failures_.size(), 1u);
    EXPECT_EQ(failures_[0].domain, platform::wayland::kErrorDomain);
    EXPECT_EQ(failures_[0].code, platform::wayland::kPipeWireCode);
    EXPECT_NE(failures_[0].message.find(GetParam().message), std::string::npos)
        << failures_[0].message;
}

INSTANTIATE_TEST_SUITE_P(
    Causes, StreamLoss,
    ::testing::Values(LossCase{"ProducerEnds",
                               [](auto& t) { static_cast<StreamLoss&>(t).endProducer(); },
                               "stream"},
                      LossCase{"DaemonDies",
                               [](auto& t) { static_cast<StreamLoss&>(t).killServer(); },
                               "connection to PipeWire was lost"}),
    [](const auto& info) { return info.param.name; });

TEST_F(PipeWireVideoStreamTest, ConnectFailsWithinItsTimeout) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const int daemon = connectSocket(socket());
    // A socket nobody answers on, a closed descriptor, a node that is not there.
    for (const auto& [fd, node] :
         {std::pair{pair[0], 0u}, std::pair{999, 0u}, std::pair{daemon, 4000u}}) {
        PipeWireVideoStream::Options options;
        options.remoteFd = fd;
        options.nodeId = node;
        options.timeout = 300ms;
        const auto stream = PipeWireVideoStream::connect(options);
        ASSERT_FALSE(stream.ok()) << fd;
        EXPECT_EQ(stream.error().domain, platform::wayland::kErrorDomain);
        EXPECT_EQ(stream.error().code, platform::wayland::kPipeWireCode);
    }
    close(pair[0]);
    close(pair[1]);
    close(daemon);
}

}  // namespace
}  // namespace ostrovane::test
