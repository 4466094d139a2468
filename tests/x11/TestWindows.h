#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ostrovane::test {

// The pixel of the screen's own visual closest to 0xRRGGBB (for a visual
// with a colour map, the value itself).
std::uint32_t pixelOf(const xcb_screen_t& screen, std::uint32_t rgb);

// A small X client for the tests: maps windows of known colours (server
// painted, or painted by the client), titles, owners and sizes, publishes a window manager's client
// list, and removes windows and monitors, on its own connection to the test's server.
class TestWindows {
  public:
    struct Spec {
        xcb_rectangle_t at{0, 0, 100, 100};  // x, y, width, height
        std::uint32_t rgb = 0xFF0000;
        std::string title{};
        bool utf8Title = true;  // _NET_WM_NAME; false: WM_NAME in Latin-1
        std::optional<std::uint32_t> pid{};
        std::string wmClass{};  // the class name; the instance is its lower case
        bool desktop = false;
        bool mapped = true;
        // No background: the client paints `rgb` on each exposure, a little
        // late, as a toolkit lays out before it paints.
        bool paintsItself = false;
    };
    static constexpr std::chrono::milliseconds kRepaintDelay{10};

    explicit TestWindows(const std::string& display);
    ~TestWindows();
    TestWindows(const TestWindows&) = delete;
    TestWindows& operator=(const TestWindows&) = delete;

    bool connected() const;
    xcb_window_t map(const Spec& spec);
    void destroy(xcb_window_t window);
    void resize(xcb_window_t window, std::uint16_t width, std::uint16_t height);
    void movePointer(std::int16_t x, std::int16_t y);
    // Paints `area` of a window (or the root) in 0xRRGGBB, as a client draws.
    void fill(xcb_window_t window, xcb_rectangle_t area, std::uint32_t rgb);
    xcb_window_t root() const { return screen_->root; }
    // The client list a window manager publishes, bottom to top.
    void publishClientList(const std::vector<xcb_window_t>& windows);
    // A RandR monitor without outputs over part of the screen; its id as the
    // provider reports it (the name atom).
    std::uint32_t addMonitor(const std::string& name, std::int16_t x, std::int16_t y,
                             std::uint16_t width, std::uint16_t height);
    void removeMonitor(const std::string& name);
    // Waits until the server has handled every request.
    void sync();

  private:
    xcb_atom_t atom(const std::string& name);
    void paintOnExposure(std::stop_token stop);

    xcb_connection_t* connection_;
    xcb_screen_t* screen_ = nullptr;
    std::mutex mutex_;
    std::map<xcb_window_t, std::pair<xcb_gcontext_t, xcb_rectangle_t>> painted_;  // by mutex_
    std::jthread painter_;  // last: stopped before the connection closes
};

}  // namespace ostrovane::test
