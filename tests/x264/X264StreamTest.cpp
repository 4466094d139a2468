// What a parent decodes from a libx264 session's output (frames, sizes,
// profile, keyframes, parameter sets, colours), how a session behaves when
// images arrive faster than it encodes, and the encoder contract run against
// the sessions that the Linux provider hands out.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <sstream>

#include "contract/VideoEncoderContract.h"
#include "platform/x264/X264VideoEncoders.h"
#include "support/ToolOutput.h"
#include "video/AnnexB.h"

namespace ostrovane::test {

namespace {

using namespace platform;

const std::string kFfprobe = "/usr/bin/ffprobe", kFfmpeg = "/usr/bin/ffmpeg";

// Opaque; text-like strokes and a block at a place that moves with `frame`,
// or one colour throughout when `solid` is given.
Image picture(std::uint32_t w, std::uint32_t h, int frame,
              std::optional<std::uint32_t> solid = {}) {
    Image image(w, h);
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const bool block = x / 16 == static_cast<std::uint32_t>(frame) % (w / 16) && y > h / 3;
            const bool stroke = (y / 6) % 2 == 1 && ((x * 7 + y * 3) / 5) % 3 != 0;
            const std::uint32_t rgb = solid    ? *solid
                                      : block  ? 0xDC3C1Eu
                                      : stroke ? 0x28282Eu
                                               : 0xD0D0D8u;
            std::uint8_t* p = image.row(y) + x * 4;
            p[0] = rgb & 0xFF, p[1] = (rgb >> 8) & 0xFF, p[2] = rgb >> 16, p[3] = 255;
        }
    }
    return image;
}

class X264Test : public testing::Test {
  protected:
    struct Output {
        EncoderStatus status;
        std::optional<EncodedFrame> frame;
    };

    void TearDown() override { std::filesystem::remove(file_); }

    std::unique_ptr<VideoEncoder> open(const VideoEncoderSettings& settings) {
        auto created = x264::X264VideoEncoders().create(settings);
        EXPECT_EQ(created.status, 0);
        return std::move(created.encoder);
    }
    EncodedFrameHandler recording() {
        return [this](EncoderStatus s, std::optional<EncodedFrame> f) {
            outputs.add({s, std::move(f)});
        };
    }

    // Every image at i/10 s, offered again while the session is busy.
    void encodeAll(VideoEncoder& encoder, const std::vector<Image>& images,
                   const std::set<int>& forced = {}) {
        for (int i = 0; i < static_cast<int>(images.size()); ++i) {
            EncoderStatus status;
            while ((status = encoder.encode(images[i], {i, 10}, {1, 10}, forced.contains(i),
                                            recording())) == kEncoderBusy)
                encoder.completeFrames();
            ASSERT_EQ(status, 0);
        }
        encoder.completeFrames();
    }

    // The output as the parent's Annex B stream, in a file.
    std::string writeAnnexB() {
        std::ofstream file(file_, std::ios::binary);
        for (const Output& o : outputs.values()) {
            if (!o.frame)
                continue;
            ParameterSets sets = o.frame->parameterSets.value_or(ParameterSets{});
            const auto bytes =
                video::convertAVCCToAnnexB(o.frame->data, o.frame->isKeyframe, sets.sps, sets.pps);
            file.write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
        }
        return file_.string();
    }

    contract::Recorder<Output> outputs;
    const std::filesystem::path file_ = std::filesystem::temp_directory_path() /
                                        ("ostrovane-x264-" + std::to_string(::getpid()) + ".h264");
};

// Decoding needs ffprobe and ffmpeg, which CI installs.
class X264DecodeTest : public X264Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(kFfprobe) || !std::filesystem::exists(kFfmpeg))
            GTEST_SKIP()
                << "ffprobe/ffmpeg not installed (scripts/install-deps.sh installs ffmpeg)";
    }
};

struct StreamCase {
    const char* name;
    std::int32_t sessionWidth, sessionHeight;
    std::uint32_t imageWidth, imageHeight;
    int decodedWidth, decodedHeight;
    friend void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }
};
class X264StreamTest : public X264DecodeTest, public testing::WithParamInterface<StreamCase> {};

}  // namespace

TEST_P(X264StreamTest, DecodesWithEveryFrameTheSizeAndTheKeyframes) {
    const StreamCase& c = GetParam();
    auto encoder = open({c.sessionWidth, c.sessionHeight, 400'000, 10, 10});
    ASSERT_TRUE(encoder);
    std::vector<Image> images;
    for (int i = 0; i < 25; ++i)
        images.push_back(picture(c.imageWidth, c.imageHeight, i));
    encodeAll(*encoder, images, {13});
    const std::set<std::size_t> keyframes{0, 10, 13, 23};

    const auto all = outputs.values();
    ASSERT_EQ(all.size(), images.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        ASSERT_EQ(all[i].status, 0);
        ASSERT_TRUE(all[i].frame) << "frame " << i;
        const EncodedFrame& f = *all[i].frame;
        EXPECT_EQ(f.presentationTime, (MediaTime{static_cast<std::int64_t>(i), 10}));
        EXPECT_EQ(f.isKeyframe, keyframes.contains(i)) << "frame " << i;
        // Every IDR slice, and only those, comes with the SPS and PPS to put before it.
        EXPECT_EQ((f.data.at(4) & 0x1F) == 5, f.isKeyframe) << "frame " << i;
        EXPECT_EQ(f.parameterSets.has_value(), f.isKeyframe) << "frame " << i;
    }

    const auto probed =
        toolOutput({kFfprobe, "-v", "error", "-show_entries",
                    "frame=key_frame:stream=profile,width,height,color_space,color_range", "-of",
                    "default=noprint_wrappers=1", writeAnnexB()});
    ASSERT_TRUE(probed);
    std::map<std::string, std::vector<std::string>> entries;
    std::istringstream lines(*probed);
    for (std::string line; std::getline(lines, line);)
        entries[line.substr(0, line.find('='))].push_back(line.substr(line.find('=') + 1));
    ASSERT_EQ(entries["key_frame"].size(), images.size());
    for (std::size_t i = 0; i < images.size(); ++i)
        EXPECT_EQ(entries["key_frame"][i], keyframes.contains(i) ? "1" : "0") << "frame " << i;
    using Values = std::vector<std::string>;
    EXPECT_EQ(entries["profile"], Values{"Main"});
    EXPECT_EQ(entries["width"], Values{std::to_string(c.decodedWidth)});
    EXPECT_EQ(entries["height"], Values{std::to_string(c.decodedHeight)});
    // The VUI says what the conversion did: limited-range BT.601.
    EXPECT_EQ(entries["color_space"], Values{"smpte170m"});
    EXPECT_EQ(entries["color_range"], Values{"tv"});
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, X264StreamTest,
    testing::Values(StreamCase{"Even", 320, 240, 320, 240, 320, 240},
                    // Odd sizes cannot be 4:2:0: the last column and row are cropped.
                    StreamCase{"OddCropped", 333, 187, 333, 187, 332, 186},
                    // Images of another size are scaled into the session's.
                    StreamCase{"Rescaled", 320, 240, 400, 300, 320, 240}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(X264DecodeTest, PureColoursDecodeToTheirOwnColour) {
    const std::vector<std::uint32_t> colours{0xFF0000, 0x00FF00, 0x0000FF, 0x808080};
    const std::uint32_t w = 64, h = 48;
    auto encoder = open({w, h, 1'000'000, 10, 10});
    ASSERT_TRUE(encoder);
    std::vector<Image> images;
    for (std::uint32_t rgb : colours)
        images.push_back(picture(w, h, 0, rgb));
    encodeAll(*encoder, images);

    const auto decoded = toolOutput(
        {kFfmpeg, "-v", "error", "-i", writeAnnexB(), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->size(), colours.size() * w * h * 3);
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const auto* centre = reinterpret_cast<const std::uint8_t*>(decoded->data()) +
                             ((i * h + h / 2) * w + w / 2) * 3;
        for (int channel = 0; channel < 3; ++channel)
            EXPECT_NEAR(centre[channel], (colours[i] >> (16 - 8 * channel)) & 0xFF, 4)
                << "colour " << i << " channel " << channel;
    }
}

TEST_F(X264Test, AFloodIsRefusedWhileBusyAndEveryAcceptedImageComesOutOnceInOrder) {
    auto encoder = open({1280, 720, 2'000'000, 10, 10});
    ASSERT_TRUE(encoder);
    const Image image = picture(1280, 720, 0);
    std::vector<std::int64_t> accepted;
    int busy = 0;
    for (int i = 0; i < 200 && (busy < 5 || accepted.size() < 5); ++i) {
        const auto status = encoder->encode(image, {i, 10}, {1, 10}, false, recording());
        ASSERT_TRUE(status == 0 || status == kEncoderBusy) << status;
        status == 0 ? accepted.push_back(i) : void(++busy);
    }
    encoder->completeFrames();
    EXPECT_GE(busy, 5);
    std::vector<std::int64_t> presented;  // -1 for a failure
    for (const Output& o : outputs.values())
        presented.push_back(o.status == 0 && o.frame ? o.frame->presentationTime.value : -1);
    EXPECT_EQ(presented, accepted);
}

TEST_F(X264Test, ASessionReleasedByItsOwnHandlerEndsCleanly) {
    // The last owner of a session may let it go from an output handler, on
    // the session's own thread, once the capture side is done with it.
    auto owner = std::make_shared<std::unique_ptr<VideoEncoder>>(open({160, 120, 200'000, 10, 10}));
    std::promise<void> submitted, released;
    auto handler = [owner, done = submitted.get_future().share(), &released](auto, auto) {
        done.wait();
        owner->reset();
        released.set_value();
    };
    ASSERT_EQ((*owner)->encode(picture(160, 120, 0), {0, 10}, {1, 10}, true, handler), 0);
    submitted.set_value();
    EXPECT_EQ(released.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(X264Test, SettingsThatCannotBeEncodedFailCreationWithAStatus) {
    const VideoEncoderSettings refused[] = {
        {1, 1, 1'000'000, 10, 10},      {1, 480, 1'000'000, 10, 10},
        {640, 1, 1'000'000, 10, 10},    {640, 480, 0, 10, 10},
        {640, 480, 1'000'000, 0, 10},   {640, 480, 1'000'000, 10, 0},
        {16896, 64, 1'000'000, 10, 10}, {8192, 8192, 1'000'000, 10, 10}};
    for (const auto& settings : refused) {
        auto created = x264::X264VideoEncoders().create(settings);
        EXPECT_NE(created.status, 0) << settings.width << "x" << settings.height;
        EXPECT_FALSE(created.encoder);
    }
}

// Only the encoder facility, in real time.
class X264Harness final : public contract::RealTimeHarness {
  public:
    X264Harness() { platform_.videoEncoders = std::make_shared<x264::X264VideoEncoders>(); }
    Platform platform() override { return platform_; }

  private:
    Platform platform_;
};

using contract::providerName;
using contract::VideoEncoderContract;
INSTANTIATE_TEST_SUITE_P(X264, VideoEncoderContract,
                         testing::Values(contract::Provider{
                             "X264", [] { return std::make_unique<X264Harness>(); }}),
                         providerName);

}  // namespace ostrovane::test
