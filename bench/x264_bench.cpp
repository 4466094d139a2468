// CPU per frame of the screen video encoding path against ffmpeg encoding the
// same raw frames with libx264 at the same settings, in one run: BGRA 1080p
// scaled to 960x540 (ImageScaler), converted to I420 (libyuv) and encoded,
// and full 1080p. CPU comes from getrusage: this process for our path (the
// capture thread converting and the session's encoder thread), the reaped
// child for ffmpeg.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/x264/X264Parameters.h"
#include "platform/x264/X264VideoEncoders.h"
#include "util/Subprocess.h"

namespace {

using namespace ostrovane;
using namespace ostrovane::platform;

constexpr int kDistinctFrames = 10;
constexpr int kLoops = 12;  // every distinct frame is encoded this many times
constexpr int kFrames = kDistinctFrames * kLoops;

void put(Image& image, std::uint32_t x, std::uint32_t y, int r, int g, int b) {
    auto clamp = [](int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); };
    std::uint8_t* p = image.row(y) + x * 4;
    p[0] = clamp(b), p[1] = clamp(g), p[2] = clamp(r), p[3] = 255;
}

// Paints text-like lines into a rectangle: word-like runs of glyphs.
void text(Image& image, std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h,
          std::mt19937& random) {
    for (std::uint32_t y = y0; y < y0 + h; ++y) {
        for (std::uint32_t x = x0; x < x0 + w; ++x)
            put(image, x, y, 250, 250, 250);
    }
    for (std::uint32_t line = y0 + 8; line + 14 < y0 + h; line += 18) {
        for (std::uint32_t x = x0 + 8; x + 70 < x0 + w;) {
            const std::uint32_t word = 2 + random() % 9;
            for (std::uint32_t g = 0; g < word; ++g, x += 8) {
                const std::uint32_t glyph = random();
                for (std::uint32_t gy = 0; gy < 12; ++gy) {
                    for (std::uint32_t gx = 0; gx < 7; ++gx) {
                        if ((glyph >> ((gy * 7 + gx) % 31)) & 1 && (gy + gx) % 3 != 0) {
                            const int shade = 30 + static_cast<int>((glyph >> (gx + gy)) % 4) * 50;
                            put(image, x + gx, line + gy, shade, shade, shade + 10);
                        }
                    }
                }
            }
            x += 8;
        }
    }
}

// A desktop: a gradient wallpaper, two windows full of text, and a third
// text window that moves and scrolls from frame to frame.
std::vector<Image> screenFrames() {
    std::mt19937 random(7);
    Image desktop(1920, 1080);
    for (std::uint32_t y = 0; y < 1080; ++y) {
        for (std::uint32_t x = 0; x < 1920; ++x)
            put(desktop, x, y, 30 + 60 * y / 1080, 60 + 90 * x / 1920, 140 + 80 * y / 1080);
    }
    text(desktop, 60, 40, 1000, 700, random);
    text(desktop, 900, 300, 960, 720, random);
    Image page(640, 800);
    text(page, 0, 0, 640, 800, random);
    std::vector<Image> frames;
    for (int i = 0; i < kDistinctFrames; ++i) {
        Image frame = desktop;
        const std::uint32_t left = 200 + 40 * i, top = 150 + 12 * i, scroll = 18 * i;
        for (std::uint32_t y = 0; y < 520; ++y) {
            const std::uint8_t* from = page.row((y + scroll) % 800);
            std::copy(from, from + 600 * 4, frame.row(top + y) + left * 4);
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

const std::vector<Image>& frames() {
    static const std::vector<Image> all = screenFrames();
    return all;
}

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Our path: every frame offered to the session as the capture queue would,
// waiting for the encoder only when it is busy (no frame is dropped).
double ourCpuPerFrame(int width, int height) {
    auto created = x264::X264VideoEncoders().create({width, height, 2'000'000, 10, 10});
    if (created.status != 0)
        return -1;
    auto& encoder = *created.encoder;
    const double start = cpuSeconds(RUSAGE_SELF);
    for (int i = 0; i < kFrames; ++i) {
        const Image& image = frames()[i % kDistinctFrames];
        while (encoder.encode(image, {i, 10}, {1, 10}, false, [](auto, auto) {}) == kEncoderBusy)
            encoder.completeFrames();
    }
    encoder.completeFrames();
    return (cpuSeconds(RUSAGE_SELF) - start) / kFrames;
}

// The distinct frames as one raw BGRA file for ffmpeg.
std::filesystem::path writeRawFile() {
    auto path = std::filesystem::temp_directory_path() /
                ("ostrovane-bench-" + std::to_string(::getpid()) + ".bgra");
    std::ofstream file(path, std::ios::binary);
    for (const Image& image : frames())
        file.write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.stride()) * image.height());
    return path;
}

// ffmpeg reading the same frames (the file looped kLoops times), at the same
// settings and preset.
double ffmpegCpuPerFrame(const std::filesystem::path& raw, int width, int height) {
    std::vector<std::string> argv{"/usr/bin/ffmpeg",
                                  "-v",
                                  "error",
                                  "-nostdin",
                                  "-f",
                                  "rawvideo",
                                  "-pix_fmt",
                                  "bgra",
                                  "-s",
                                  "1920x1080",
                                  "-r",
                                  "10",
                                  "-stream_loop",
                                  std::to_string(kLoops - 1),
                                  "-i",
                                  raw.string()};
    if (width != 1920 || height != 1080)
        argv.insert(argv.end(),
                    {"-vf", "scale=" + std::to_string(width) + ":" + std::to_string(height)});
    argv.insert(argv.end(), {"-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", x264::kX264Preset,
                             "-tune", "zerolatency", "-profile:v", "main", "-b:v", "2M", "-g", "10",
                             "-bf", "0", "-f", "null", "-"});
    const double start = cpuSeconds(RUSAGE_CHILDREN);
    Subprocess ffmpeg(argv);
    ffmpeg.closeInput();
    if (ffmpeg.waitForExit(std::chrono::minutes(5)) != 0)
        return -1;
    return (cpuSeconds(RUSAGE_CHILDREN) - start) / kFrames;
}

void BM_X264EncodeVersusFfmpeg(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    const auto raw = writeRawFile();
    double ours = 0, theirs = 0;
    for (auto _ : state) {
        ours = ourCpuPerFrame(width, height);
        theirs = ffmpegCpuPerFrame(raw, width, height);
    }
    std::filesystem::remove(raw);
    if (ours < 0 || theirs < 0) {
        state.SkipWithError(ours < 0 ? "our encoder failed" : "ffmpeg failed");
        return;
    }
    state.counters["ours_ms_per_frame"] = ours * 1e3;
    state.counters["ffmpeg_ms_per_frame"] = theirs * 1e3;
    state.counters["ratio"] = ours / theirs;
    state.SetLabel(std::string("preset ") + x264::kX264Preset);
}
BENCHMARK(BM_X264EncodeVersusFfmpeg)
    ->Args({960, 540})
    ->Args({1920, 1080})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
