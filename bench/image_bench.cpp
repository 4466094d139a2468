// Still images as the capture commands make them: a 1080p screen encoded as
// PNG, a 240-wide thumbnail (scale and encode), and per-frame scaling.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "platform/image/ImageScaling.h"
#include "platform/image/PngEncoder.h"

namespace {

using namespace ostrovane::platform;

// A desktop-like picture: gradient wallpaper, windows with title bars, lines
// of "text", and a photo-like area with smooth detail and grain.
Image screenLikePicture(std::uint32_t width, std::uint32_t height) {
    Image image(width, height);
    auto put = [&](std::uint32_t x, std::uint32_t y, int r, int g, int b) {
        auto clamp = [](int v) { return std::uint8_t(std::clamp(v, 0, 255)); };
        std::uint8_t* p = image.row(y) + x * 4;
        p[0] = clamp(b), p[1] = clamp(g), p[2] = clamp(r), p[3] = 255;
    };
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            put(x, y, 30 + 60 * y / height, 60 + 90 * x / width, 140 + 80 * y / height);
        }
    }
    std::mt19937 random(42);
    auto fill = [&](std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h, int r,
                    int g, int b) {
        for (std::uint32_t y = y0; y < std::min(height, y0 + h); ++y) {
            for (std::uint32_t x = x0; x < std::min(width, x0 + w); ++x)
                put(x, y, r, g, b);
        }
    };
    struct Window {
        std::uint32_t x, y, w, h;
    };
    const Window windows[] = {{80, 60, 1100, 760}, {700, 200, 1000, 700}, {200, 500, 600, 480}};
    for (const Window& win : windows) {
        const std::uint32_t w = win.w * width / 1920, h = win.h * height / 1080;
        const std::uint32_t x0 = win.x * width / 1920, y0 = win.y * height / 1080;
        fill(x0, y0, w, h, 250, 250, 250);
        fill(x0, y0, w, 28, 225, 225, 228);
        for (int i = 0; i < 3; ++i)
            fill(x0 + 10 + i * 20, y0 + 8, 12, 12, 230 - i * 60, 90 + i * 60, 80);
        // Text: rows of word-like runs of glyphs with anti-aliased edges.
        for (std::uint32_t line = y0 + 44; line + 14 < y0 + h - 10; line += 20) {
            std::uint32_t x = x0 + 16;
            while (x + 60 < x0 + w - 16) {
                const std::uint32_t word = 3 + random() % 9;
                for (std::uint32_t g = 0; g < word && x + 8 < x0 + w - 16; ++g, x += 8) {
                    const std::uint32_t glyph = random();
                    for (std::uint32_t gy = 0; gy < 12; ++gy) {
                        for (std::uint32_t gx = 0; gx < 7; ++gx) {
                            if ((glyph >> ((gy * 7 + gx) % 31)) & 1 && (gy + gx) % 3 != 0) {
                                const int shade = 40 + int((glyph >> (gx + gy)) % 4) * 50;
                                put(x + gx, line + gy, shade, shade, shade + 10);
                            }
                        }
                    }
                }
                x += 8;
            }
        }
    }
    // A photo-like area: smooth colour waves with fine grain.
    const std::uint32_t px = width * 1250 / 1920, py = height * 650 / 1080;
    for (std::uint32_t y = py; y < std::min(height, py + height * 360 / 1080); ++y) {
        for (std::uint32_t x = px; x < std::min(width, px + width * 600 / 1920); ++x) {
            const double v = std::sin(x * 0.02) * std::cos(y * 0.03) + std::sin((x + y) * 0.007);
            const int grain = int(random() % 9) - 4;
            put(x, y, 120 + int(60 * v) + grain, 100 + int(50 * std::sin(y * 0.01)) + grain,
                80 + int(40 * v) + grain);
        }
    }
    return image;
}

const Image& screen() {
    static const Image image = screenLikePicture(1920, 1080);
    return image;
}

void BM_EncodePng1080p(benchmark::State& state) {
    std::size_t bytes = 0;
    for (auto _ : state)
        bytes = encodePng(screen()).size();
    state.counters["png_kB"] = double(bytes) / 1000;
}
BENCHMARK(BM_EncodePng1080p)->Unit(benchmark::kMillisecond);

void BM_Thumbnail240(benchmark::State& state) {
    const ImageSize size = fitWithinWidth({1920, 1080}, 240);
    std::size_t bytes = 0;
    for (auto _ : state)
        bytes = encodePng(scale(screen(), size.width, size.height)).size();
    state.counters["png_kB"] = double(bytes) / 1000;
}
BENCHMARK(BM_Thumbnail240)->Unit(benchmark::kMicrosecond);

// A capture thread scaling every frame with one reused scaler.
void BM_ScaleFrame(benchmark::State& state) {
    ImageScaler scaler;
    Image out(static_cast<std::uint32_t>(state.range(0)),
              static_cast<std::uint32_t>(state.range(1)));
    for (auto _ : state)
        scaler.scale(screen(), out);
}
BENCHMARK(BM_ScaleFrame)->Args({960, 540})->Args({1280, 720})->Unit(benchmark::kMicrosecond);

}  // namespace
