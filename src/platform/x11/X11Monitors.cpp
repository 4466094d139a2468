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

}  // namespace ostrovane::platform::x11
