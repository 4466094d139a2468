#include "x11/TestWindows.h"

#include <poll.h>
#include <sys/uio.h>
#include <xcb/randr.h>
#include <xcb/xcbext.h>

#include <bit>
#include <cctype>
#include <cstdlib>

namespace ostrovane::test {

std::uint32_t pixelOf(const xcb_screen_t& screen, std::uint32_t rgb) {
    for (auto d = xcb_screen_allowed_depths_iterator(&screen); d.rem > 0; xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
            const xcb_visualtype_t& t = *v.data;
            if (t.visual_id != screen.root_visual || t._class != XCB_VISUAL_CLASS_TRUE_COLOR)
                continue;
            std::uint32_t pixel = 0;
            for (int shift = 16; std::uint32_t mask : {t.red_mask, t.green_mask, t.blue_mask}) {
                const std::uint32_t top = mask >> std::countr_zero(mask);
                pixel |= (((rgb >> shift) & 0xFF) * top + 127) / 255 << std::countr_zero(mask);
                shift -= 8;
            }
            return pixel;
        }
    }
    return rgb;
}

TestWindows::TestWindows(const std::string& display)
    : connection_(xcb_connect(display.c_str(), nullptr)) {
    if (xcb_connection_has_error(connection_) == 0)
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
}

TestWindows::~TestWindows() {
    painter_ = {};  // stopped and joined: it polls the connection
    xcb_disconnect(connection_);
}

bool TestWindows::connected() const {
    return screen_ != nullptr && xcb_connection_has_error(connection_) == 0;
}

xcb_atom_t TestWindows::atom(const std::string& name) {
    auto* reply = xcb_intern_atom_reply(
        connection_,
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
        nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

xcb_window_t TestWindows::map(const Spec& spec) {
    const xcb_window_t w = xcb_generate_id(connection_);
    const std::uint32_t pixel = pixelOf(*screen_, spec.rgb);
    const std::uint32_t values[] = {spec.paintsItself ? std::uint32_t{XCB_BACK_PIXMAP_NONE} : pixel,
                                    XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(
        connection_, XCB_COPY_FROM_PARENT, w, screen_->root, spec.at.x, spec.at.y, spec.at.width,
        spec.at.height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
        spec.paintsItself ? XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK : XCB_CW_BACK_PIXEL, values);
    auto setText = [&](xcb_atom_t property, xcb_atom_t type, const std::string& text) {
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, w, property, type, 8,
                            static_cast<std::uint32_t>(text.size()), text.data());
    };
    if (!spec.title.empty() && spec.utf8Title)
        setText(atom("_NET_WM_NAME"), atom("UTF8_STRING"), spec.title);
    else if (!spec.title.empty())
        setText(XCB_ATOM_WM_NAME, XCB_ATOM_STRING, spec.title);
    if (spec.pid)
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_PID"),
                            XCB_ATOM_CARDINAL, 32, 1, &*spec.pid);
    if (!spec.wmClass.empty()) {
        std::string instance = spec.wmClass;
        for (char& c : instance)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        setText(XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, instance + '\0' + spec.wmClass + '\0');
    }
    if (spec.desktop) {
        const xcb_atom_t type = atom("_NET_WM_WINDOW_TYPE_DESKTOP");
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_WINDOW_TYPE"),
                            XCB_ATOM_ATOM, 32, 1, &type);
    }
    if (spec.mapped)
        xcb_map_window(connection_, w);
    if (spec.paintsItself) {
        const xcb_gcontext_t gc = xcb_generate_id(connection_);
        xcb_create_gc(connection_, gc, w, XCB_GC_FOREGROUND, &pixel);
        const xcb_rectangle_t all{0, 0, spec.at.width, spec.at.height};
        xcb_poly_fill_rectangle(connection_, w, gc, 1, &all);  // painted before anyone looks
        std::lock_guard lock(mutex_);
        painted_[w] = {gc, all};
        if (!painter_.joinable())
            painter_ = std::jthread([this](std::stop_token stop) { paintOnExposure(stop); });
    }
    sync();
    return w;
}

void TestWindows::paintOnExposure(std::stop_token stop) {
    while (!stop.stop_requested() && xcb_connection_has_error(connection_) == 0) {
        std::vector<xcb_window_t> exposed;
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            if ((event->response_type & 0x7F) == XCB_EXPOSE)
                exposed.push_back(reinterpret_cast<xcb_expose_event_t*>(event)->window);
            std::free(event);
        }
        if (!exposed.empty())
            std::this_thread::sleep_for(kRepaintDelay);
        std::lock_guard lock(mutex_);
        for (xcb_window_t w : exposed)
            if (auto it = painted_.find(w); it != painted_.end())
                xcb_poly_fill_rectangle(connection_, w, it->second.first, 1, &it->second.second);
        xcb_flush(connection_);
        pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
        ::poll(&fd, 1, 20);
    }
}

void TestWindows::destroy(xcb_window_t window) {
    xcb_destroy_window(connection_, window);
    sync();
}

void TestWindows::resize(xcb_window_t window, std::uint16_t width, std::uint16_t height) {
    const std::uint32_t size[] = {width, height};
    xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                         size);
    sync();
}

void TestWindows::movePointer(std::int16_t x, std::int16_t y) {
    xcb_warp_pointer(connection_, XCB_NONE, screen_->root, 0, 0, 0, 0, x, y);
    sync();
}

void TestWindows::fill(xcb_window_t window, xcb_rectangle_t area, std::uint32_t rgb) {
    const std::uint32_t pixel = pixelOf(*screen_, rgb);
    const xcb_gcontext_t gc = xcb_generate_id(connection_);
    xcb_create_gc(connection_, gc, window, XCB_GC_FOREGROUND, &pixel);
    xcb_poly_fill_rectangle(connection_, window, gc, 1, &area);
    xcb_free_gc(connection_, gc);
    sync();
}

void TestWindows::publishClientList(const std::vector<xcb_window_t>& windows) {
    for (const char* name : {"_NET_CLIENT_LIST", "_NET_CLIENT_LIST_STACKING"})
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, screen_->root, atom(name),
                            XCB_ATOM_WINDOW, 32, static_cast<std::uint32_t>(windows.size()),
                            windows.data());
    sync();
}

std::uint32_t TestWindows::addMonitor(const std::string& name, std::int16_t x, std::int16_t y,
                                      std::uint16_t width, std::uint16_t height) {
    // Monitors exist for clients of RandR 1.5 on.
    std::free(xcb_randr_query_version_reply(connection_, xcb_randr_query_version(connection_, 1, 5),
                                            nullptr));
    // Name, primary, automatic, outputs, place, size in pixels and millimetres.
    xcb_randr_monitor_info_t info{atom(name), 0,     0,      0,          x,
                                  y,          width, height, width / 4u, height / 4u};
    // Sent by hand: the generated xcb_randr_set_monitor of this libxcb
    // announces a wrong request length and the server drops the connection.
    struct {
        std::uint8_t major = 0;  // filled in by xcb
        std::uint8_t minor = XCB_RANDR_SET_MONITOR;
        std::uint16_t length = 0;  // filled in by xcb
        xcb_window_t window;
    } header{.window = screen_->root};
    iovec parts[4];  // xcb uses the two entries before the request
    parts[2] = {&header, sizeof header};
    parts[3] = {&info, sizeof info};
    xcb_protocol_request_t request{2, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    xcb_send_request(connection_, 0, parts + 2, &request);
    sync();
    return info.name;
}

void TestWindows::removeMonitor(const std::string& name) {
    xcb_randr_delete_monitor(connection_, screen_->root, atom(name));
    sync();
}

void TestWindows::sync() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}

}  // namespace ostrovane::test
