#include "platform/x11/X11Capture.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <string>

#include "platform/image/ImageScaling.h"
#include "platform/image/PixelFormat.h"
#include "platform/x11/ShmSegment.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Errors.h"
#include "platform/x11/X11Monitors.h"
#include "platform/x11/X11Windows.h"

namespace ostrovane::platform::x11 {

namespace {

const xcb_visualtype_t* visualType(const xcb_setup_t* setup, xcb_visualid_t id) {
    for (auto screen = xcb_setup_roots_iterator(setup); screen.rem > 0; xcb_screen_next(&screen)) {
        auto depth = xcb_screen_allowed_depths_iterator(screen.data);
        for (; depth.rem > 0; xcb_depth_next(&depth)) {
            auto visual = xcb_depth_visuals_iterator(depth.data);
            for (; visual.rem > 0; xcb_visualtype_next(&visual)) {
                if (visual.data->visual_id == id)
                    return visual.data;
            }
        }
    }
    return nullptr;
}

// How a Z-format image of `depth` drawn in `visual` lays out its pixels, and
// the bytes of one of its rows of `width`; nothing for a visual whose pixels
// index a colour map.
struct ZFormat {
    PixelLayout layout;
    std::size_t stride = 0;
};
std::optional<ZFormat> zFormatOf(xcb_connection_t* c, xcb_visualid_t visual, std::uint8_t depth,
                                 std::uint16_t width) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    const xcb_visualtype_t* type = visualType(setup, visual);
    if (type == nullptr || type->_class != XCB_VISUAL_CLASS_TRUE_COLOR)
        return std::nullopt;
    auto it = xcb_setup_pixmap_formats_iterator(setup);
    for (; it.rem > 0; xcb_format_next(&it)) {
        const xcb_format_t& format = *it.data;
        if (format.depth != depth || format.scanline_pad == 0)
            continue;
        const std::size_t pad = format.scanline_pad;
        return ZFormat{
            PixelLayout{format.bits_per_pixel, type->red_mask, type->green_mask, type->blue_mask,
                        setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST},
            (std::size_t{width} * format.bits_per_pixel + pad - 1) / pad * pad / 8};
    }
    return std::nullopt;
}

// Clips a rectangle to the root window's current size; false when nothing
// is left.
bool clipTo(std::uint32_t rootWidth, std::uint32_t rootHeight, std::int32_t& x, std::int32_t& y,
            std::uint32_t& width, std::uint32_t& height) {
    const std::int64_t left = std::max<std::int64_t>(x, 0);
    const std::int64_t top = std::max<std::int64_t>(y, 0);
    const std::int64_t right = std::min<std::int64_t>(std::int64_t{x} + width, rootWidth);
    const std::int64_t bottom = std::min<std::int64_t>(std::int64_t{y} + height, rootHeight);
    if (right <= left || bottom <= top)
        return false;
    x = static_cast<std::int32_t>(left);
    y = static_cast<std::int32_t>(top);
    width = static_cast<std::uint32_t>(right - left);
    height = static_cast<std::uint32_t>(bottom - top);
    return true;
}

}  // namespace

X11Capture::X11Capture(X11Connection& connection, bool sharedMemory)
    : connection_(connection), sharedMemoryRefused_(!sharedMemory) {
    if (connection_.prepareExtension(&xcb_composite_id)) {
        auto version = connection_.reply<xcb_composite_query_version_reply_t>(
            xcb_composite_query_version(connection_.get(), 0, 2));
        // NameWindowPixmap needs 0.2.
        composite_ = version && (version->major_version > 0 || version->minor_version >= 2);
    }
    if (composite_ && connection_.prepareExtension(&xcb_damage_id)) {
        // Damage answers only clients that announced their version.
        auto version = connection_.reply<xcb_damage_query_version_reply_t>(
            xcb_damage_query_version(connection_.get(), 1, 1));
        damage_ = version && version->major_version >= 1;
    }
    if (connection_.prepareExtension(&xcb_xfixes_id)) {
        auto version = connection_.reply<xcb_xfixes_query_version_reply_t>(
            xcb_xfixes_query_version(connection_.get(), 4, 0));
        xfixes_ = version && version->major_version >= 1;
    }
}

X11Capture::~X11Capture() {
    release();
}

void X11Capture::release() {
    if (redirected_ && connection_.alive()) {
        xcb_composite_unredirect_window(connection_.get(), window_,
                                        XCB_COMPOSITE_REDIRECT_AUTOMATIC);
        xcb_flush(connection_.get());
    }
    redirected_ = false;
    window_ = XCB_NONE;
}

MaybeError X11Capture::select(const ContentFilter& filter) {
    release();
    display_.reset();
    if (!connection_.alive())
        return serverGoneError();
    if (const auto* display = std::get_if<Display>(&filter.target)) {
        auto monitors = readMonitors(connection_, false);
        if (!monitors)
            return serverGoneError();
        if (std::none_of(monitors->begin(), monitors->end(),
                         [&](const X11Monitor& m) { return m.id == display->displayId; })) {
            return targetUnavailableError();
        }
        display_ = display->displayId;
        return std::nullopt;
    }
    const xcb_window_t window = std::get<Window>(filter.target).windowId;
    const auto placement = placeWindow(connection_, window);
    if (std::holds_alternative<PlacementFailure>(placement)) {
        return std::get<PlacementFailure>(placement) == PlacementFailure::serverGone
                   ? serverGoneError()
                   : targetUnavailableError();
    }
    window_ = window;
    if (composite_) {
        // Parts hidden on the screen have no content until the client paints
        // them: the server exposes them when it gives the window a pixmap of
        // its own, unless a compositing manager did so long ago.
        const bool hidden = damage_ &&
                            isCovered(connection_, window, std::get<WindowPlacement>(placement)) &&
                            !compositingManagerRuns();
        // Automatic redirection: the server still draws the screen itself, and
        // any number of clients may ask for it; it ends with our connection.
        redirected_ = connection_.check(xcb_composite_redirect_window_checked(
            connection_.get(), window, XCB_COMPOSITE_REDIRECT_AUTOMATIC));
        if (redirected_ && hidden)
            awaitRepaint();
    }
    return std::nullopt;
}

bool X11Capture::compositingManagerRuns() {
    const xcb_atom_t selection =
        connection_.atom("_NET_WM_CM_S" + std::to_string(connection_.screenNumber()));
    if (selection == XCB_ATOM_NONE)
        return false;
    auto owner = connection_.reply<xcb_get_selection_owner_reply_t>(
        xcb_get_selection_owner(connection_.get(), selection));
    return owner && owner->owner != XCB_NONE;
}

void X11Capture::awaitRepaint() {
    xcb_connection_t* c = connection_.get();
    // Made after the redirection, so that the background the server painted
    // on exposing is not taken for the client's drawing.
    const xcb_damage_damage_t damage = xcb_generate_id(c);
    xcb_damage_create(c, damage, window_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    // A new damage object reports the whole window at once; what is reported
    // after it is emptied again, while the server has no later request of
    // ours to number its events with, is the client's drawing.
    const auto emptied =
        static_cast<std::uint16_t>(xcb_damage_subtract(c, damage, XCB_NONE, XCB_NONE).sequence);
    const std::uint8_t notify =
        xcb_get_extension_data(c, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
    // A client that painted before the damage object was made, or paints
    // nothing, costs the whole wait; its pixmap is right either way.
    connection_.awaitEvent(
        [&](const xcb_generic_event_t& event) {
            return (event.response_type & 0x7F) == notify && event.sequence == emptied &&
                   reinterpret_cast<const xcb_damage_notify_event_t&>(event).damage == damage;
        },
        kRepaintWait);
    xcb_damage_destroy(c, damage);
}

std::vector<PixelRect> X11Capture::partsOf(ImageSize size) const {
    const PixelRect whole{0, 0, size.width, size.height};
    if (parts_.empty())
        return {whole};
    std::vector<PixelRect> inside;
    for (const PixelRect& part : parts_) {
        if (PixelRect area = part.intersected(whole); !area.empty())
            inside.push_back(area);
    }
    return inside;
}

GrabResult X11Capture::grab(ImageView& view, bool withCursor,
                            const std::optional<PixelRect>& part) {
    const PartHandler keep = [&](const ImageView& grabbed, const PixelRect&) { view = grabbed; };
    bool any = false;
    const PartHandler each = [&](const ImageView& grabbed, const PixelRect& area) {
        any = true;
        keep(grabbed, area);
    };
    const GrabResult result = grabParts(
        part ? std::vector<PixelRect>{*part} : std::vector<PixelRect>{}, withCursor, each);
    return result == GrabResult::ok && !any ? GrabResult::nothing : result;
}

GrabResult X11Capture::grabParts(const std::vector<PixelRect>& parts, bool withCursor,
                                 const PartHandler& each) {
    if (!connection_.alive())
        return GrabResult::serverGone;
    parts_ = parts;
    each_ = &each;
    withCursor_ = withCursor && xfixes_;
    cursor_.reset();
    GrabResult result = GrabResult::nothing;
    if (display_) {
        result = grabDisplay();
    } else if (window_ != XCB_NONE) {
        result = grabWindow();
    }
    each_ = nullptr;
    connection_.drainEvents();
    if (!connection_.alive())
        return GrabResult::serverGone;
    return result;
}

bool X11Capture::grabEach(xcb_drawable_t drawable, xcb_visualid_t visual, std::int32_t x,
                          std::int32_t y, std::int32_t left, std::int32_t top, bool& supported) {
    for (const PixelRect& area : partsOf(target_.size)) {
        const bool grabbed =
            grabArea(drawable, visual, static_cast<std::int16_t>(x + std::int32_t(area.x)),
                     static_cast<std::int16_t>(y + std::int32_t(area.y)),
                     static_cast<std::uint16_t>(area.width),
                     static_cast<std::uint16_t>(area.height), supported);
        if (!grabbed)
            return false;
        if (withCursor_)
            drawCursor(left + std::int32_t(area.x), top + std::int32_t(area.y));
        (*each_)(ImageView{pixels_.data, pixels_.width, pixels_.height, pixels_.stride,
                           pixels_.alphaIsPadding},
                 area);
    }
    return true;
}

GrabResult X11Capture::grab(Image& image, bool withCursor) {
    ImageView view;
    const GrabResult result = grab(view, withCursor);
    if (result != GrabResult::ok)
        return result;
    if (image.width() != view.width || image.height() != view.height)
        image = Image(view.width, view.height);
    ImageScaler copier;
    copier.scale(view, image);
    return result;
}

GrabResult X11Capture::grabDisplay() {
    auto monitors = readMonitors(connection_, false);
    if (!monitors)
        return GrabResult::serverGone;
    auto it = std::find_if(monitors->begin(), monitors->end(),
                           [&](const X11Monitor& m) { return m.id == *display_; });
    if (it == monitors->end())
        return GrabResult::displayGone;
    return grabScreenArea(it->x, it->y, it->width, it->height);
}

GrabResult X11Capture::grabWindow() {
    const auto placed = placeWindow(connection_, window_);
    if (const auto* failure = std::get_if<PlacementFailure>(&placed)) {
        return *failure == PlacementFailure::serverGone ? GrabResult::serverGone
                                                        : GrabResult::targetGone;
    }
    const WindowPlacement& p = std::get<WindowPlacement>(placed);
    if (!p.viewable || p.width == 0 || p.height == 0)
        return GrabResult::nothing;
    if (!redirected_)
        return grabScreenArea(p.x, p.y, p.width, p.height);
    target_ = Target{p.x, p.y, {p.width, p.height}};
    // Named afresh for every frame: the server gives a window a new pixmap
    // when it is resized or mapped again, and the name of an old one would
    // keep showing its last picture.
    const xcb_pixmap_t pixmap = xcb_generate_id(connection_.get());
    xcb_composite_name_window_pixmap(connection_.get(), window_, pixmap);
    // The window pixmap includes the border; the client area starts inside it.
    bool supported = true;
    const auto border = static_cast<std::int32_t>(p.borderWidth);
    const bool grabbed = grabEach(pixmap, p.visual, border, border, p.x, p.y, supported);
    xcb_free_pixmap(connection_.get(), pixmap);
    if (!supported)
        return GrabResult::unsupported;
    // A window unmapped or resized between the requests: the next frame sees it.
    return grabbed ? GrabResult::ok : GrabResult::nothing;
}

GrabResult X11Capture::grabScreenArea(std::int32_t x, std::int32_t y, std::uint32_t width,
                                      std::uint32_t height) {
    // The root's size now: RandR may have resized the screen since we connected.
    auto root = connection_.reply<xcb_get_geometry_reply_t>(
        xcb_get_geometry(connection_.get(), connection_.root()));
    if (!root)
        return connection_.alive() ? GrabResult::nothing : GrabResult::serverGone;
    if (!clipTo(root->width, root->height, x, y, width, height))
        return GrabResult::nothing;
    target_ = Target{x, y, {width, height}};
    bool supported = true;
    const bool grabbed =
        grabEach(connection_.root(), connection_.screen().root_visual, x, y, x, y, supported);
    if (!supported)
        return GrabResult::unsupported;
    return grabbed ? GrabResult::ok : GrabResult::nothing;
}

bool X11Capture::grabArea(xcb_drawable_t drawable, xcb_visualid_t visual, std::int16_t x,
                          std::int16_t y, std::uint16_t width, std::uint16_t height,
                          bool& supported) {
    // Takes what the server sent, `available` bytes at `pixels`: in place
    // when it is BGRA but for the padding byte, converted otherwise.
    const auto take = [&](std::uint8_t depth, xcb_visualid_t sent, std::size_t available,
                          std::uint8_t* pixels) {
        const auto format = zFormatOf(connection_.get(), sent != 0 ? sent : visual, depth, width);
        supported = format && format->layout.convertible() && available >= format->stride * height;
        if (!supported)
            return false;
        if (format->layout.isBgrx()) {
            pixels_ = Pixels{pixels, width, height, format->stride, true};
            return true;
        }
        supported = toBgra(pixels, format->stride, width, height, format->layout, converted_);
        pixels_ = Pixels{converted_.data(), width, height, converted_.stride(), false};
        return supported;
    };
    // No layout takes more than four bytes a pixel.
    const std::size_t bytes = std::size_t{width} * height * 4;
    if (!sharedMemoryRefused_ && (!segment_ || segment_->size() < bytes)) {
        segment_.reset();
        segment_ = ShmSegment::attach(connection_, bytes);
        sharedMemoryRefused_ = segment_ == nullptr;
    }
    if (segment_) {
        auto reply = connection_.reply<xcb_shm_get_image_reply_t>(
            xcb_shm_get_image(connection_.get(), drawable, x, y, width, height, ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, segment_->id(), 0));
        return reply && take(reply->depth, reply->visual, reply->size, segment_->data());
    }
    imageReply_ = connection_.reply<xcb_get_image_reply_t>(xcb_get_image(
        connection_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, x, y, width, height, ~0u));
    return imageReply_ &&
           take(imageReply_->depth, imageReply_->visual,
                static_cast<std::size_t>(xcb_get_image_data_length(imageReply_.get())),
                xcb_get_image_data(imageReply_.get()));
}

void X11Capture::drawCursor(std::int32_t originX, std::int32_t originY) {
    if (!cursor_) {
        cursor_ = connection_.reply<xcb_xfixes_get_cursor_image_reply_t>(
            xcb_xfixes_get_cursor_image(connection_.get()));
    }
    const auto& cursor = cursor_;
    if (!cursor)
        return;
    const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
    if (xcb_xfixes_get_cursor_image_cursor_image_length(cursor.get()) <
        int{cursor->width} * cursor->height) {
        return;
    }
    const std::int32_t left = cursor->x - cursor->xhot - originX;
    const std::int32_t top = cursor->y - cursor->yhot - originY;
    for (std::int32_t cy = 0; cy < cursor->height; ++cy) {
        const std::int32_t y = top + cy;
        if (y < 0 || y >= static_cast<std::int32_t>(pixels_.height))
            continue;
        std::uint8_t* row = pixels_.data + static_cast<std::size_t>(y) * pixels_.stride;
        for (std::int32_t cx = 0; cx < cursor->width; ++cx) {
            const std::int32_t x = left + cx;
            if (x < 0 || x >= static_cast<std::int32_t>(pixels_.width))
                continue;
            // Premultiplied ARGB: out = cursor + background * (1 - alpha).
            const std::uint32_t argb = pixels[cy * cursor->width + cx];
            const std::uint32_t alpha = argb >> 24;
            if (alpha == 0)
                continue;
            std::uint8_t* px = row + std::size_t(x) * 4;
            for (int channel = 0; channel < 3; ++channel) {
                const std::uint32_t c = (argb >> (8 * channel)) & 0xFF;
                px[channel] = static_cast<std::uint8_t>(
                    std::min<std::uint32_t>(255, c + (px[channel] * (255 - alpha) + 127) / 255));
            }
        }
    }
}

}  // namespace ostrovane::platform::x11
