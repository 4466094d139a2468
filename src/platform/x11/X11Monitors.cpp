#include "platform/x11/X11Monitors.h"

#include <xcb/randr.h>

#include "platform/x11/X11Connection.h"

namespace ostrovane::platform::x11 {

namespace {
std::string atomName(X11Connection& connection, xcb_atom_t atom) {
    auto reply =
        connection.reply<xcb_get_atom_name_reply_t>(xcb_get_atom_name(connection.get(), atom));
    if (!reply)
        return {};
    return std::string(xcb_get_atom_name_name(reply.get()),
                       static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
}
}  // namespace

namespace {
// Monitors are RandR 1.5; the server answers according to the version a
// client announced.
bool announceRandr(X11Connection& connection) {
    return connection.remember("RandR 1.5", [&] {
        if (!connection.prepareExtension(&xcb_randr_id))
            return false;
        auto version = connection.reply<xcb_randr_query_version_reply_t>(
            xcb_randr_query_version(connection.get(), 1, 5));
        return version && (version->major_version > 1 || version->minor_version >= 5);
    });
}
}  // namespace

std::optional<std::vector<X11Monitor>> readMonitors(X11Connection& connection, bool withNames) {
    if (!connection.alive())
        return std::nullopt;
    std::vector<X11Monitor> out;
    if (announceRandr(connection)) {
        auto reply = connection.reply<xcb_randr_get_monitors_reply_t>(
            xcb_randr_get_monitors(connection.get(), connection.root(), 1));
        if (reply) {
            auto it = xcb_randr_get_monitors_monitors_iterator(reply.get());
            for (; it.rem > 0; xcb_randr_monitor_info_next(&it)) {
                const xcb_randr_monitor_info_t* info = it.data;
                X11Monitor m;
                const int outputs = xcb_randr_monitor_info_outputs_length(info);
                m.id = outputs > 0 ? xcb_randr_monitor_info_outputs(info)[0] : info->name;
                if (m.id == 0)
                    continue;
                if (withNames)
                    m.name = atomName(connection, info->name);
                m.x = info->x;
                m.y = info->y;
                m.width = info->width;
                m.height = info->height;
                m.primary = info->primary != 0;
                out.push_back(std::move(m));
            }
        }
    }
    if (!connection.alive())
        return std::nullopt;
    if (out.empty()) {
        const xcb_screen_t& screen = connection.screen();
        out.push_back(
            X11Monitor{1, "Screen", 0, 0, screen.width_in_pixels, screen.height_in_pixels, true});
    }
    return out;
}

std::size_t mainMonitor(const std::vector<X11Monitor>& monitors) {
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        if (monitors[i].primary)
            return i;
    }
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        if (monitors[i].x == 0 && monitors[i].y == 0)
            return i;
    }
    return 0;
}

Rect toGlobal(std::int32_t x, std::int32_t y, std::uint32_t width, std::uint32_t height,
              const X11Monitor& main) {
    const double mainBottom = static_cast<double>(main.y) + main.height;
    return Rect{static_cast<double>(x - main.x), mainBottom - (static_cast<double>(y) + height),
                static_cast<double>(width), static_cast<double>(height)};
}

std::vector<Display> displaysOf(const std::vector<X11Monitor>& monitors) {
    std::vector<Display> displays;
    if (monitors.empty())
        return displays;
    const std::size_t main = mainMonitor(monitors);
    auto add = [&](const X11Monitor& m) {
        displays.push_back(Display{m.id, m.width, m.height,
                                   toGlobal(m.x, m.y, m.width, m.height, monitors[main])});
    };
    add(monitors[main]);
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        if (i != main)
            add(monitors[i]);
    }
    return displays;
}

ScreenList screensOf(const std::vector<X11Monitor>& monitors) {
    ScreenList list;
    if (monitors.empty())
        return list;
    for (const Display& d : displaysOf(monitors)) {
        std::string name;
        for (const auto& m : monitors) {
            if (m.id == d.displayId)
                name = m.name;
        }
        list.screens.push_back(Screen{d.displayId, std::move(name), d.frame});
    }
    list.mainScreen = 0;  // displaysOf puts the main monitor first
    return list;
}

}  // namespace ostrovane::platform::x11
