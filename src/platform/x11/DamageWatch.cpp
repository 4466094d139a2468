#include "platform/x11/DamageWatch.h"

#include <xcb/damage.h>
#include <xcb/xfixes.h>

namespace ostrovane::platform::x11 {

std::unique_ptr<DamageWatch> DamageWatch::watch(X11Connection& connection, xcb_window_t drawable) {
    if (!connection.prepareExtension(&xcb_damage_id) ||
        !connection.prepareExtension(&xcb_xfixes_id)) {
        return nullptr;
    }
    xcb_connection_t* c = connection.get();
    // Both answer only clients that announced their version.
    auto damage =
        connection.reply<xcb_damage_query_version_reply_t>(xcb_damage_query_version(c, 1, 1));
    auto fixes =
        connection.reply<xcb_xfixes_query_version_reply_t>(xcb_xfixes_query_version(c, 4, 0));
    if (!damage || damage->major_version < 1 || !fixes || fixes->major_version < 2)
        return nullptr;
    auto watch = std::make_unique<DamageWatch>(Key{}, connection, drawable);
    if (!connection.sync() || !connection.alive())
        return nullptr;
    return watch;
}

DamageWatch::DamageWatch(Key, X11Connection& connection, xcb_window_t drawable)
    : connection_(connection), drawable_(drawable) {
    xcb_connection_t* c = connection_.get();
    damageNotify_ = xcb_get_extension_data(c, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
    cursorNotify_ =
        xcb_get_extension_data(c, &xcb_xfixes_id)->first_event + XCB_XFIXES_CURSOR_NOTIFY;
    damage_ = xcb_generate_id(c);
    xcb_damage_create(c, damage_, drawable_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    region_ = xcb_generate_id(c);
    xcb_xfixes_create_region(c, region_, 0, nullptr);
    // Our own connection: these masks are no one else's.
    const std::uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, drawable_, XCB_CW_EVENT_MASK, &structure);
    xcb_xfixes_select_cursor_input(c, connection_.root(),
                                   XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
}

DamageWatch::~DamageWatch() {
    if (!connection_.alive())
        return;
    xcb_connection_t* c = connection_.get();
    xcb_damage_destroy(c, damage_);
    xcb_xfixes_destroy_region(c, region_);
    const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
    xcb_change_window_attributes(c, drawable_, XCB_CW_EVENT_MASK, &none);
    xcb_xfixes_select_cursor_input(c, connection_.root(), 0);
    xcb_flush(c);
}

void DamageWatch::onEvent(const xcb_generic_event_t& event) {
    const std::uint8_t type = event.response_type & 0x7F;
    if (type == damageNotify_) {
        if (reinterpret_cast<const xcb_damage_notify_event_t&>(event).damage == damage_)
            damaged_ = true;
    } else if (type == cursorNotify_) {
        cursorShape_ = true;
    } else if (type == XCB_CONFIGURE_NOTIFY || type == XCB_MAP_NOTIFY) {
        reshaped_ = true;
    }
}

std::optional<std::vector<PixelRect>> DamageWatch::take() {
    damaged_ = false;
    xcb_connection_t* c = connection_.get();
    xcb_damage_subtract(c, damage_, XCB_NONE, region_);
    auto fetched =
        connection_.reply<xcb_xfixes_fetch_region_reply_t>(xcb_xfixes_fetch_region(c, region_));
    if (!fetched)
        return std::nullopt;
    std::vector<PixelRect> rects;
    const xcb_rectangle_t* r = xcb_xfixes_fetch_region_rectangles(fetched.get());
    const int n = xcb_xfixes_fetch_region_rectangles_length(fetched.get());
    for (int i = 0; i < n; ++i) {
        // Parts left or above the drawable's origin are not ours to show.
        const std::int32_t x = std::max<std::int32_t>(r[i].x, 0);
        const std::int32_t y = std::max<std::int32_t>(r[i].y, 0);
        const std::int32_t right = std::int32_t{r[i].x} + r[i].width;
        const std::int32_t bottom = std::int32_t{r[i].y} + r[i].height;
        if (right > x && bottom > y) {
            rects.push_back({static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y),
                             static_cast<std::uint32_t>(right - x),
                             static_cast<std::uint32_t>(bottom - y)});
        }
    }
    return rects;
}

}  // namespace ostrovane::platform::x11
