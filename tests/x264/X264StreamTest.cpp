// What a parent decodes from a libx264 session's output: frames, sizes,
// profile, keyframe positions, parameter sets, colours; and how a session
// behaves when images arrive faster than it encodes.
#include <map>
#include <sstream>

#include "platform/x264/X264VideoEncoders.h"
#include "video/AnnexB.h"
#include "x264/X264Fixture.h"

namespace ostrovane::test {

namespace {

#define SKIP_WITHOUT_TOOLS()          \
    if (auto missing = missingTool()) \
    GTEST_SKIP() << *missing << " is not installed (scripts/install-deps.sh installs ffmpeg)"

// ffprobe's "key=value" lines: every value of each key in order.
std::map<std::string, std::vector<std::string>> parseEntries(const std::string& text) {
    std::map<std::string, std::vector<std::string>> entries;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (auto eq = line.find('='); eq != std::string::npos)
            entries[line.substr(0, eq)].push_back(line.substr(eq + 1));
    }
    return entries;
}

// NAL unit types of one Annex B access unit, in order.
std::vector<int> annexBTypes(const std::vector<std::uint8_t>& bytes) {
    std::vector<int> types;
    for (std::size_t i = 0; i + 4 < bytes.size(); ++i) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 0 && bytes[i + 3] == 1)
            types.push_back(bytes[i + 4] & 0x1F);
    }
    return types;
}

struct StreamCase {
    const char* name;
    std::int32_t sessionWidth, sessionHeight;
    std::uint32_t imageWidth, imageHeight;
    int decodedWidth, decodedHeight;
};

void PrintTo(const StreamCase& c, std::ostream* os) {
    *os << c.name;
}

class X264StreamTest : public X264Fixture, public testing::WithParamInterface<StreamCase> {};

}  // namespace

TEST_P(X264StreamTest, DecodesWithEveryFrameTheSizeAndTheKeyframes) {
    SKIP_WITHOUT_TOOLS();
    const StreamCase& c = GetParam();
    auto encoder = open({c.sessionWidth, c.sessionHeight, 400'000, 10, 10});
    ASSERT_TRUE(encoder);
    std::vector<platform::Image> images;
    for (int i = 0; i < 25; ++i)
        images.push_back(screenLikeImage(c.imageWidth, c.imageHeight, i));
    encodeAll(*encoder, images, {13});
    const std::set<int> keyframes{0, 10, 13, 23};

    const auto all = outputs();
    ASSERT_EQ(all.size(), images.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        ASSERT_EQ(all[i].status, 0);
        ASSERT_TRUE(all[i].frame);
        const auto& f = *all[i].frame;
        EXPECT_EQ(f.presentationTime, (platform::MediaTime{static_cast<std::int64_t>(i), 10}));
        EXPECT_EQ(f.isKeyframe, keyframes.contains(static_cast<int>(i))) << "frame " << i;
        // What the parent receives for this frame: an IDR has SPS and PPS in front.
        std::vector<std::uint8_t> sps, pps;
        if (f.parameterSets)
            sps = f.parameterSets->sps, pps = f.parameterSets->pps;
        const auto types = annexBTypes(video::convertAVCCToAnnexB(f.data, f.isKeyframe, sps, pps));
        ASSERT_FALSE(types.empty());
        if (std::find(types.begin(), types.end(), 5) != types.end()) {
            ASSERT_GE(types.size(), 3u);
            EXPECT_EQ(types[0], 7) << "frame " << i;
            EXPECT_EQ(types[1], 8) << "frame " << i;
        }
    }

    const auto probed =
        runTool("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                            "frame=key_frame:stream=profile,width,height,color_space,color_range",
                            "-of", "default=noprint_wrappers=1", writeAnnexB().string()});
    ASSERT_TRUE(probed);
    auto entries = parseEntries(*probed);
    ASSERT_EQ(entries["key_frame"].size(), images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        EXPECT_EQ(entries["key_frame"][i], keyframes.contains(static_cast<int>(i)) ? "1" : "0")
            << "frame " << i;
    }
    EXPECT_EQ(entries["profile"], std::vector<std::string>{"Main"});
    EXPECT_EQ(entries["width"], std::vector<std::string>{std::to_string(c.decodedWidth)});
    EXPECT_EQ(entries["height"], std::vector<std::string>{std::to_string(c.decodedHeight)});
    // The VUI says what the conversion did: limited-range BT.601.
    EXPECT_EQ(entries["color_space"], std::vector<std::string>{"smpte170m"});
    EXPECT_EQ(entries["color_range"], std::vector<std::string>{"tv"});
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, X264StreamTest,
    testing::Values(StreamCase{"Even", 320, 240, 320, 240, 320, 240},
                    // Odd sizes cannot be 4:2:0: the last column and row are cropped.
                    StreamCase{"OddCropped", 333, 187, 333, 187, 332, 186},
                    // Images of another size are scaled into the session's.
                    StreamCase{"Rescaled", 320, 240, 400, 300, 320, 240}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(X264Fixture, PureColoursDecodeToTheirOwnColour) {
    SKIP_WITHOUT_TOOLS();
    struct Rgb {
        std::uint8_t r, g, b;
    };
    const std::vector<Rgb> colours{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {128, 128, 128}};
    const std::uint32_t w = 64, h = 48;
    auto encoder = open({w, h, 1'000'000, 10, 10});
    ASSERT_TRUE(encoder);
    std::vector<platform::Image> images;
    for (const Rgb& c : colours)
        images.push_back(solidImage(w, h, c.r, c.g, c.b));
    encodeAll(*encoder, images);

    const auto rgb = runTool("ffmpeg", {"-v", "error", "-i", writeAnnexB().string(), "-f",
                                        "rawvideo", "-pix_fmt", "rgb24", "-"});
    ASSERT_TRUE(rgb);
    ASSERT_EQ(rgb->size(), colours.size() * w * h * 3);
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const auto* centre = reinterpret_cast<const std::uint8_t*>(rgb->data()) + i * w * h * 3 +
                             ((h / 2) * w + w / 2) * 3;
        const Rgb& want = colours[i];
        EXPECT_NEAR(centre[0], want.r, 4) << "colour " << i;
        EXPECT_NEAR(centre[1], want.g, 4) << "colour " << i;
        EXPECT_NEAR(centre[2], want.b, 4) << "colour " << i;
    }
}

TEST_F(X264Fixture, AFloodIsRefusedWhileBusyAndEveryAcceptedImageComesOutOnceInOrder) {
    auto encoder = open({1280, 720, 2'000'000, 10, 10});
    ASSERT_TRUE(encoder);
    const platform::Image image = screenLikeImage(1280, 720, 0);
    std::vector<std::int64_t> accepted;
    int busy = 0;
    for (int i = 0; i < 200 && (busy < 5 || accepted.size() < 5); ++i) {
        const auto status = encoder->encode(image, {i, 10}, {1, 10}, false, recording());
        if (status == platform::kEncoderBusy)
            ++busy;
        else if (status == 0)
            accepted.push_back(i);
        else
            FAIL() << "status " << status;
    }
    encoder->completeFrames();
    EXPECT_GE(busy, 5);
    const auto all = outputs();
    ASSERT_EQ(all.size(), accepted.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        ASSERT_EQ(all[i].status, 0);
        ASSERT_TRUE(all[i].frame);
        EXPECT_EQ(all[i].frame->presentationTime.value, accepted[i]);
    }
}

TEST_F(X264Fixture, SettingsThatCannotBeEncodedFailCreationWithAStatus) {
    const platform::VideoEncoderSettings refused[] = {
        {1, 1, 1'000'000, 10, 10},      {1, 480, 1'000'000, 10, 10},
        {640, 1, 1'000'000, 10, 10},    {640, 480, 0, 10, 10},
        {640, 480, 1'000'000, 0, 10},   {640, 480, 1'000'000, 10, 0},
        {16896, 64, 1'000'000, 10, 10}, {8192, 8192, 1'000'000, 10, 10}};
    for (const auto& settings : refused) {
        auto created = platform::x264::X264VideoEncoders().create(settings);
        EXPECT_NE(created.status, 0) << settings.width << "x" << settings.height;
        EXPECT_FALSE(created.encoder);
    }
}

}  // namespace ostrovane::test
