#include "x264/X264Fixture.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/x264/X264VideoEncoders.h"
#include "util/Subprocess.h"
#include "video/AnnexB.h"

namespace ostrovane::test {

namespace {

std::optional<std::string> findOnPath(const std::string& tool) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const auto candidate = std::filesystem::path(dir) / tool;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    }
    return std::nullopt;
}

void put(platform::Image& image, std::uint32_t x, std::uint32_t y, std::uint8_t r, std::uint8_t g,
         std::uint8_t b) {
    std::uint8_t* p = image.row(y) + x * 4;
    p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
}

}  // namespace

void X264Fixture::TearDown() {
    for (const auto& file : files_)
        std::filesystem::remove(file);
}

std::unique_ptr<platform::VideoEncoder> X264Fixture::open(
    const platform::VideoEncoderSettings& settings) {
    auto created = platform::x264::X264VideoEncoders().create(settings);
    EXPECT_EQ(created.status, 0);
    return std::move(created.encoder);
}

platform::EncodedFrameHandler X264Fixture::recording() {
    return [this](platform::EncoderStatus status, std::optional<platform::EncodedFrame> frame) {
        std::lock_guard lock(mutex_);
        _outputs.push_back({status, std::move(frame)});
    };
}

std::vector<X264Fixture::Output> X264Fixture::outputs() const {
    std::lock_guard lock(mutex_);
    return _outputs;
}

void X264Fixture::encodeAll(platform::VideoEncoder& encoder,
                            const std::vector<platform::Image>& images,
                            const std::set<int>& forced) {
    for (int i = 0; i < static_cast<int>(images.size()); ++i) {
        platform::EncoderStatus status = platform::kEncoderBusy;
        while (status == platform::kEncoderBusy) {
            status = encoder.encode(images[i], {i, 10}, {1, 10}, forced.contains(i), recording());
            if (status == platform::kEncoderBusy)
                encoder.completeFrames();
        }
        ASSERT_EQ(status, 0) << "image " << i;
    }
    encoder.completeFrames();
}

std::filesystem::path X264Fixture::writeAnnexB() {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    for (char& c : name) {
        if (c == '/')
            c = '_';
    }
    auto path = std::filesystem::temp_directory_path() /
                ("ostrovane-" + std::to_string(::getpid()) + "-" + name + ".h264");
    files_.push_back(path);
    std::ofstream file(path, std::ios::binary);
    for (const Output& output : outputs()) {
        if (!output.frame)
            continue;
        const auto& f = *output.frame;
        std::vector<std::uint8_t> sps, pps;
        if (f.parameterSets)
            sps = f.parameterSets->sps, pps = f.parameterSets->pps;
        const auto bytes = video::convertAVCCToAnnexB(f.data, f.isKeyframe, sps, pps);
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    return path;
}

std::optional<std::string> X264Fixture::missingTool() {
    for (const char* tool : {"ffprobe", "ffmpeg"}) {
        if (!findOnPath(tool))
            return tool;
    }
    return std::nullopt;
}

std::optional<std::string> X264Fixture::runTool(const std::string& tool,
                                                std::vector<std::string> args) {
    const auto path = findOnPath(tool);
    if (!path) {
        ADD_FAILURE() << tool << " missing";
        return std::nullopt;
    }
    args.insert(args.begin(), *path);
    Subprocess process(args);
    process.closeInput();
    UniqueFd out = process.takeOutput();
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(out.get(), buffer, sizeof buffer);
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    const auto status = process.waitForExit(std::chrono::seconds(20));
    if (status != 0)
        return std::nullopt;
    return text;
}

platform::Image screenLikeImage(std::uint32_t width, std::uint32_t height, int frame) {
    platform::Image image(width, height);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const bool stroke = (y / 6) % 2 == 1 && ((x * 7 + y * 3) / 5) % 3 != 0;
            const auto shade = static_cast<std::uint8_t>(stroke ? 40 : 200 + (x + y) % 40);
            put(image, x, y, shade, shade, static_cast<std::uint8_t>(shade + 10));
        }
    }
    const std::uint32_t side = std::min(width, height) / 4;
    const std::uint32_t left = (static_cast<std::uint32_t>(frame) * 7) % (width - side);
    for (std::uint32_t y = height / 3; y < height / 3 + side; ++y) {
        for (std::uint32_t x = left; x < left + side; ++x)
            put(image, x, y, 220, 60, 30);
    }
    return image;
}

platform::Image solidImage(std::uint32_t width, std::uint32_t height, std::uint8_t r,
                           std::uint8_t g, std::uint8_t b) {
    platform::Image image(width, height);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x)
            put(image, x, y, r, g, b);
    }
    return image;
}

}  // namespace ostrovane::test
