// ostrovane-bench-scene: a scene of a video call's screen on a bare X
// server, for the screen video benchmarks. Maps a full-screen desktop and
// draws on it until SIGINT or SIGTERM; prints the desktop window's id once
// it is drawn.
//
//   still   a still desktop with a clock that ticks once a second
//   slides  full-screen slides that change every 5 s, plus the clock
//   grid    four moving 640x360 tiles (a call grid, 44 % of 1920x1080), plus
//           the clock
//
// usage: ostrovane-bench-scene --display NAME --scene still|slides|grid
#include <signal.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

volatile sig_atomic_t stopping = 0;
void onSignal(int) {
    stopping = 1;
}

class Painter {
  public:
    Painter(xcb_connection_t* c, xcb_window_t w) : c_(c), w_(w), gc_(xcb_generate_id(c)) {
        xcb_create_gc(c_, gc_, w_, 0, nullptr);
    }
    void fill(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
              std::uint32_t rgb) {
        xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &rgb);
        const xcb_rectangle_t r{std::int16_t(x), std::int16_t(y), std::uint16_t(width),
                                std::uint16_t(height)};
        xcb_poly_fill_rectangle(c_, w_, gc_, 1, &r);
    }
    // BGRX rows of `width` pixels, in strips that fit any request size.
    void put(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
             const std::uint32_t* pixels, std::size_t stride) {
        constexpr std::int32_t kStrip = 60;
        for (std::int32_t top = 0; top < height; top += kStrip) {
            const std::int32_t rows = std::min(kStrip, height - top);
            strip_.resize(std::size_t(width) * rows);
            for (std::int32_t r = 0; r < rows; ++r)
                std::memcpy(&strip_[std::size_t(r) * width], pixels + (top + r) * stride,
                            std::size_t(width) * 4);
            xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, w_, gc_, std::uint16_t(width),
                          std::uint16_t(rows), std::int16_t(x), std::int16_t(y + top), 0, 24,
                          std::uint32_t(strip_.size() * 4),
                          reinterpret_cast<const std::uint8_t*>(strip_.data()));
        }
    }
    void flush() { xcb_flush(c_); }

  private:
    xcb_connection_t* c_;
    xcb_window_t w_;
    xcb_gcontext_t gc_;
    std::vector<std::uint32_t> strip_;
};

// Seven-segment digits of the time of day, as a panel clock shows them.
void drawClock(Painter& p, std::time_t now) {
    constexpr int kX = 1640, kY = 20, kDigit = 28, kGap = 10, kBar = 4;
    p.fill(kX - 10, kY - 8, 270, 64, 0x202830);
    char text[16];
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    // Segments a..g of 0-9.
    static const unsigned char kSegments[] = {0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                              0x6D, 0x7D, 0x07, 0x7F, 0x6F};
    int x = kX;
    for (const char* ch = text; *ch; ++ch) {
        if (*ch == ':') {
            p.fill(x + 2, kY + 12, kBar, kBar, 0xE0E0E0);
            p.fill(x + 2, kY + 32, kBar, kBar, 0xE0E0E0);
            x += 14;
            continue;
        }
        const unsigned s = kSegments[*ch - '0'];
        const int h = kDigit / 2 + 8;
        if (s & 0x01)
            p.fill(x, kY, kDigit, kBar, 0xE0E0E0);
        if (s & 0x02)
            p.fill(x + kDigit - kBar, kY, kBar, h, 0xE0E0E0);
        if (s & 0x04)
            p.fill(x + kDigit - kBar, kY + h, kBar, h, 0xE0E0E0);
        if (s & 0x08)
            p.fill(x, kY + 2 * h - kBar, kDigit, kBar, 0xE0E0E0);
        if (s & 0x10)
            p.fill(x, kY + h, kBar, h, 0xE0E0E0);
        if (s & 0x20)
            p.fill(x, kY, kBar, h, 0xE0E0E0);
        if (s & 0x40)
            p.fill(x, kY + h - kBar / 2, kDigit, kBar, 0xE0E0E0);
        x += kDigit + kGap;
    }
}

std::uint32_t mix(std::uint32_t n) {
    n ^= n >> 13;
    n *= 0x5BD1E995u;
    return n ^ (n >> 15);
}

// A desktop or a slide: a background, a title and lines of "text".
void drawPage(Painter& p, int page) {
    const std::uint32_t background = page == 0 ? 0x2E3440 : (mix(page) & 0x7F7F7F) | 0x808080;
    p.fill(0, 0, 1920, 1080, background);
    p.fill(0, 1040, 1920, 40, 0x1C2028);  // the panel
    p.fill(120, 100, 900 + int(mix(page + 7) % 500), 70, 0x202020);
    for (int line = 0; line < 24; ++line) {
        const int length = 300 + int(mix(page * 100 + line) % 1200);
        for (int word = 0, x = 120; x < 120 + length; ++word) {
            const int w = 30 + int(mix(page * 1000 + line * 50 + word) % 140);
            p.fill(x, 240 + line * 32, w, 16, 0x303030);
            x += w + 14;
        }
    }
}

// Camera-like tiles: a smooth picture with some detail that drifts.
class Tiles {
  public:
    static constexpr int kWidth = 640, kHeight = 360;
    Tiles() : texture_(std::size_t(kWidth * 2) * kHeight * 2) {
        for (int y = 0; y < kHeight * 2; ++y) {
            for (int x = 0; x < kWidth * 2; ++x) {
                const std::uint32_t n = mix(std::uint32_t(x / 16 + (y / 16) * 1000));
                const std::uint32_t r = (x * 200 / (kWidth * 2) + (n & 15)) & 0xFF;
                const std::uint32_t g = (y * 200 / (kHeight * 2) + ((n >> 8) & 15)) & 0xFF;
                const std::uint32_t b =
                    (96 + ((x / 40 + y / 40) % 2) * 64 + ((n >> 16) & 15)) & 0xFF;
                texture_[std::size_t(y) * kWidth * 2 + x] = r << 16 | g << 8 | b;
            }
        }
    }
    void draw(Painter& p, int frame) {
        static const int kAt[4][2] = {{320, 180}, {960, 180}, {320, 540}, {960, 540}};
        for (int t = 0; t < 4; ++t) {
            const int dx = (frame * (3 + t) + t * 97) % kWidth;
            const int dy = (frame * (2 + t) + t * 53) % kHeight;
            p.put(kAt[t][0], kAt[t][1], kWidth, kHeight,
                  &texture_[std::size_t(dy) * kWidth * 2 + dx], kWidth * 2);
        }
    }

  private:
    std::vector<std::uint32_t> texture_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string display, scene = "still";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--display") == 0)
            display = argv[i + 1];
        else if (std::strcmp(argv[i], "--scene") == 0)
            scene = argv[i + 1];
    }
    if (scene != "still" && scene != "slides" && scene != "grid") {
        std::fprintf(stderr, "unknown scene %s\n", scene.c_str());
        return 2;
    }
    std::unique_ptr<xcb_connection_t, Disconnect> connection(
        xcb_connect(display.empty() ? nullptr : display.c_str(), nullptr));
    if (xcb_connection_has_error(connection.get()))
        return 1;
    xcb_connection_t* c = connection.get();
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t w = xcb_generate_id(c);
    const std::uint32_t values[] = {0x2E3440};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 0, 0, 1920, 1080, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL,
                      values);
    xcb_map_window(c, w);
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);

    Painter painter(c, w);
    Tiles tiles;
    drawPage(painter, 0);
    painter.flush();
    std::printf("%u\n", w);
    std::fflush(stdout);
    // Tiles move at 15 pictures a second, as a call's cameras do.
    const auto period = std::chrono::milliseconds(scene == "grid" ? 66 : 50);
    const auto begin = std::chrono::steady_clock::now();
    std::time_t shown = 0;
    int page = 0;
    for (int frame = 0; !stopping; ++frame) {
        const auto at = std::chrono::steady_clock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(at - begin);
        if (scene == "slides" && elapsed.count() / 5 + 1 != page) {
            page = int(elapsed.count() / 5) + 1;
            drawPage(painter, page);
            shown = 0;
        }
        if (scene == "grid")
            tiles.draw(painter, frame);
        if (const std::time_t now = std::time(nullptr); now != shown) {
            drawClock(painter, now);
            shown = now;
        }
        painter.flush();
        std::this_thread::sleep_until(at + period);
    }
    return 0;
}
