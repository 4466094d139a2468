// ostrovane-test-pattern: something to capture on a bare X server. Maps a
// full-screen window with scrolling colour bars and a bouncing white box, plus
// a number of small titled windows, prints the pattern window's id and
// animates until SIGINT or SIGTERM.
//
// usage: ostrovane-test-pattern [--windows N] [--fps F] [--display NAME]
#include <signal.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

constexpr std::uint32_t kBars[] = {0xC0C0C0, 0xC0C000, 0x00C0C0, 0x00C000,
                                   0xC000C0, 0xC00000, 0x0000C0, 0x101010};

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

xcb_window_t mapWindow(xcb_connection_t* c, const xcb_screen_t* screen, std::int16_t x,
                       std::int16_t y, std::uint16_t width, std::uint16_t height, std::uint32_t rgb,
                       const std::string& title) {
    const xcb_window_t w = xcb_generate_id(c);
    const std::uint32_t values[] = {rgb};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, x, y, width, height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL,
                      values);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, internAtom(c, "_NET_WM_NAME"),
                        internAtom(c, "UTF8_STRING"), 8, static_cast<std::uint32_t>(title.size()),
                        title.data());
    xcb_map_window(c, w);
    return w;
}

// One frame: the bars moved on by `frame`, the box on its bouncing path.
void draw(xcb_connection_t* c, xcb_window_t w, xcb_gcontext_t gc, int width, int height,
          int frame) {
    const int bar = width / 8;
    const int shift = (frame * 8) % width;
    for (int i = 0; i < 9; ++i) {
        const std::uint32_t colour = kBars[i % 8];
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
        const xcb_rectangle_t r{static_cast<std::int16_t>(i * bar - shift), 0,
                                static_cast<std::uint16_t>(bar),
                                static_cast<std::uint16_t>(height)};
        xcb_poly_fill_rectangle(c, w, gc, 1, &r);
        const xcb_rectangle_t wrapped{static_cast<std::int16_t>(r.x + width), 0, r.width, r.height};
        xcb_poly_fill_rectangle(c, w, gc, 1, &wrapped);
    }
    const int box = height / 6;
    const int spanX = width - box, spanY = height - box;
    const int px = (frame * 13) % (2 * spanX), py = (frame * 7) % (2 * spanY);
    const xcb_rectangle_t square{static_cast<std::int16_t>(px < spanX ? px : 2 * spanX - px),
                                 static_cast<std::int16_t>(py < spanY ? py : 2 * spanY - py),
                                 static_cast<std::uint16_t>(box), static_cast<std::uint16_t>(box)};
    const std::uint32_t white = 0xFFFFFF;
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &white);
    xcb_poly_fill_rectangle(c, w, gc, 1, &square);
}

}  // namespace

int main(int argc, char** argv) {
    int extraWindows = 0;
    int fps = 30;
    const char* display = nullptr;  // $DISPLAY
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--windows") == 0)
            extraWindows = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--fps") == 0)
            fps = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--display") == 0)
            display = argv[i + 1];
        else
            fps = 0;  // unknown option: the usage below
    }
    if (fps < 1 || fps > 240 || extraWindows < 0 || extraWindows > 1000 || argc % 2 == 0) {
        std::fputs("usage: ostrovane-test-pattern [--windows N] [--fps F] [--display NAME]\n",
                   stderr);
        return 64;
    }
    // The signals are taken synchronously: waiting for one paces the frames.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);

    Connection connection(xcb_connect(display, nullptr));
    xcb_connection_t* c = connection.get();
    if (xcb_connection_has_error(c) != 0) {
        std::fputs("ostrovane-test-pattern: cannot connect to the X display\n", stderr);
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const int width = screen->width_in_pixels, height = screen->height_in_pixels;
    const xcb_window_t pattern = mapWindow(c, screen, 0, 0, static_cast<std::uint16_t>(width),
                                           static_cast<std::uint16_t>(height), 0, "Test pattern");
    for (int i = 0; i < extraWindows; ++i) {
        mapWindow(c, screen, static_cast<std::int16_t>(40 + (i % 5) * 300),
                  static_cast<std::int16_t>(40 + (i / 5 % 4) * 220), 240, 160, kBars[i % 8],
                  "Window " + std::to_string(i + 1));
    }
    // The pattern's window id, for a parent that captures it.
    std::printf("%u\n", pattern);
    std::fflush(stdout);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pattern, 0, nullptr);

    const timespec interval{0, 1'000'000'000L / fps};
    for (int frame = 0;; ++frame) {
        draw(c, pattern, gc, width, height, frame);
        xcb_flush(c);
        if (xcb_connection_has_error(c) != 0)
            return 1;
        if (sigtimedwait(&stop, nullptr, &interval) > 0)
            return 0;
    }
}
