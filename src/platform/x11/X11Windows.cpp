#include "platform/x11/X11Windows.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/screens/WindowText.h"
#include "platform/x11/WindowOwners.h"
#include "platform/x11/X11Connection.h"

namespace ostrovane::platform::x11 {

namespace {

// Enough for any title or list; longer values are cut, never read unbounded.
constexpr std::uint32_t kMaxPropertyWords = 16384;

using PropertyReply = Reply<xcb_get_property_reply_t>;

xcb_get_property_cookie_t askProperty(X11Connection& c, xcb_window_t w, xcb_atom_t atom) {
    return xcb_get_property(c.get(), 0, w, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxPropertyWords);
}

std::string_view bytesOf(const PropertyReply& reply) {
    if (!reply || reply->format != 8)
        return {};
    return {static_cast<const char*>(xcb_get_property_value(reply.get())),
            static_cast<std::size_t>(xcb_get_property_value_length(reply.get()))};
}

std::vector<std::uint32_t> wordsOf(const PropertyReply& reply) {
    if (!reply || reply->format != 32)
        return {};
    const auto* words = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    return std::vector<std::uint32_t>(words,
                                      words + xcb_get_property_value_length(reply.get()) / 4);
}

std::vector<xcb_window_t> clientList(X11Connection& c) {
    for (const char* name : {"_NET_CLIENT_LIST_STACKING", "_NET_CLIENT_LIST"}) {
        const xcb_atom_t atom = c.atom(name);
        if (atom == XCB_ATOM_NONE)
            continue;
        auto list = wordsOf(c.reply<xcb_get_property_reply_t>(askProperty(c, c.root(), atom)));
        if (!list.empty())
            return list;
    }
    return {};
}

std::vector<xcb_window_t> rootChildren(X11Connection& c) {
    auto tree = c.reply<xcb_query_tree_reply_t>(xcb_query_tree(c.get(), c.root()));
    if (!tree)
        return {};
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    return std::vector<xcb_window_t>(children,
                                     children + xcb_query_tree_children_length(tree.get()));
}

// The requests for one window, all sent before any reply is awaited so that
// a list of many windows costs about one round trip.
struct Pending {
    xcb_window_t window;
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_geometry_cookie_t geometry;
    xcb_translate_coordinates_cookie_t position;
    xcb_get_property_cookie_t netName, name, pid, wmClass, type;
};

std::optional<std::string> titleOf(const PropertyReply& netName, const PropertyReply& name) {
    if (netName && netName->type != XCB_ATOM_NONE && netName->format == 8)
        return titleFromUtf8(bytesOf(netName));
    if (!name || name->type == XCB_ATOM_NONE || name->format != 8)
        return std::nullopt;
    // STRING is Latin-1; UTF8_STRING and anything else is taken as UTF-8.
    if (name->type == XCB_ATOM_STRING)
        return titleFromLatin1(bytesOf(name));
    return titleFromUtf8(bytesOf(name));
}

WindowClaims claimsOf(const PropertyReply& pid, const PropertyReply& wmClass) {
    WindowClaims claims;
    if (auto words = wordsOf(pid); !words.empty() && words[0] > 0)
        claims.pid = static_cast<Pid>(words[0]);
    const std::string_view cls = bytesOf(wmClass);
    const std::size_t nul = cls.find('\0');
    claims.instanceName = titleFromLatin1(cls.substr(0, nul));
    if (nul != std::string_view::npos) {
        std::string_view rest = cls.substr(nul + 1);
        claims.className = titleFromLatin1(rest.substr(0, rest.find('\0')));
    }
    return claims;
}

struct Area {
    std::int32_t x, y;
    std::uint32_t width, height;
};

bool overlap(const Area& a, const Area& b) {
    const std::int64_t left = std::max<std::int64_t>(a.x, b.x);
    const std::int64_t top = std::max<std::int64_t>(a.y, b.y);
    const std::int64_t right =
        std::min<std::int64_t>(std::int64_t{a.x} + a.width, std::int64_t{b.x} + b.width);
    const std::int64_t bottom =
        std::min<std::int64_t>(std::int64_t{a.y} + a.height, std::int64_t{b.y} + b.height);
    return right > left && bottom > top;
}

bool overlapsAMonitor(std::int32_t x, std::int32_t y, std::uint32_t w, std::uint32_t h,
                      const std::vector<X11Monitor>& monitors) {
    return std::any_of(monitors.begin(), monitors.end(), [&](const X11Monitor& m) {
        return overlap({x, y, w, h}, {m.x, m.y, m.width, m.height});
    });
}

}  // namespace

std::optional<std::vector<Window>> readWindows(X11Connection& c,
                                               const std::vector<X11Monitor>& monitors,
                                               WindowOwners& owners) {
    if (!c.alive() || monitors.empty())
        return std::nullopt;
    std::vector<xcb_window_t> candidates = clientList(c);
    const bool managed = !candidates.empty();
    if (!managed)
        candidates = rootChildren(c);
    // Both lists run bottom to top; the front-most window comes first here.
    std::reverse(candidates.begin(), candidates.end());

    const xcb_atom_t netName = c.atom("_NET_WM_NAME");
    const xcb_atom_t pidAtom = c.atom("_NET_WM_PID");
    const xcb_atom_t typeAtom = c.atom("_NET_WM_WINDOW_TYPE");
    const xcb_atom_t desktopType = c.atom("_NET_WM_WINDOW_TYPE_DESKTOP");
    std::vector<Pending> pending;
    pending.reserve(candidates.size());
    for (xcb_window_t w : candidates) {
        if (w == 0)
            continue;
        pending.push_back(Pending{
            w, xcb_get_window_attributes(c.get(), w), xcb_get_geometry(c.get(), w),
            xcb_translate_coordinates(c.get(), w, c.root(), 0, 0), askProperty(c, w, netName),
            askProperty(c, w, XCB_ATOM_WM_NAME), askProperty(c, w, pidAtom),
            askProperty(c, w, XCB_ATOM_WM_CLASS), askProperty(c, w, typeAtom)});
    }

    const X11Monitor& main = monitors[mainMonitor(monitors)];
    std::vector<Window> windows;
    for (const Pending& p : pending) {
        // Every reply is collected, even of windows left out, so none lingers.
        auto attributes = c.reply<xcb_get_window_attributes_reply_t>(p.attributes);
        auto geometry = c.reply<xcb_get_geometry_reply_t>(p.geometry);
        auto position = c.reply<xcb_translate_coordinates_reply_t>(p.position);
        auto netNameValue = c.reply<xcb_get_property_reply_t>(p.netName);
        auto nameValue = c.reply<xcb_get_property_reply_t>(p.name);
        auto pidValue = c.reply<xcb_get_property_reply_t>(p.pid);
        auto classValue = c.reply<xcb_get_property_reply_t>(p.wmClass);
        auto typeValue = c.reply<xcb_get_property_reply_t>(p.type);
        if (!c.alive())
            return std::nullopt;
        if (!attributes || !geometry || !position)
            continue;  // gone while we asked
        if (attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY)
            continue;
        if (!managed && (attributes->map_state == XCB_MAP_STATE_UNMAPPED ||
                         attributes->override_redirect != 0)) {
            continue;
        }
        Window window;
        window.windowId = p.window;
        window.title = titleOf(netNameValue, nameValue);
        window.frame =
            toGlobal(position->dst_x, position->dst_y, geometry->width, geometry->height, main);
        window.isOnScreen = attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                            overlapsAMonitor(position->dst_x, position->dst_y, geometry->width,
                                             geometry->height, monitors);
        const auto types = wordsOf(typeValue);
        window.isDesktopWindow = desktopType != XCB_ATOM_NONE &&
                                 std::find(types.begin(), types.end(), desktopType) != types.end();
        window.owningApplication = owners.owner(claimsOf(pidValue, classValue));
        windows.push_back(std::move(window));
    }
    return windows;
}

std::variant<WindowPlacement, PlacementFailure> placeWindow(X11Connection& c, xcb_window_t window) {
    auto attributesCookie = xcb_get_window_attributes(c.get(), window);
    auto geometryCookie = xcb_get_geometry(c.get(), window);
    auto positionCookie = xcb_translate_coordinates(c.get(), window, c.root(), 0, 0);
    auto attributes = c.reply<xcb_get_window_attributes_reply_t>(attributesCookie);
    auto geometry = c.reply<xcb_get_geometry_reply_t>(geometryCookie);
    auto position = c.reply<xcb_translate_coordinates_reply_t>(positionCookie);
    if (!c.alive())
        return PlacementFailure::serverGone;
    if (!attributes || !geometry || !position)
        return PlacementFailure::windowGone;
    return WindowPlacement{position->dst_x,        position->dst_y,
                           geometry->width,        geometry->height,
                           geometry->border_width, attributes->map_state == XCB_MAP_STATE_VIEWABLE,
                           attributes->visual};
}

bool isCovered(X11Connection& c, xcb_window_t window, const WindowPlacement& p) {
    if (p.x < 0 || p.y < 0 || std::int64_t{p.x} + p.width > c.screen().width_in_pixels ||
        std::int64_t{p.y} + p.height > c.screen().height_in_pixels) {
        return true;
    }
    // The top-level window (a window manager's frame, or the window itself)
    // is the one stacked among the root's children.
    xcb_window_t topLevel = window;
    Reply<xcb_query_tree_reply_t> tree;
    for (;;) {
        tree = c.reply<xcb_query_tree_reply_t>(xcb_query_tree(c.get(), topLevel));
        if (!tree)
            return false;
        if (tree->parent == c.root() || tree->parent == XCB_NONE)
            break;
        topLevel = tree->parent;
    }
    std::vector<xcb_window_t> above = rootChildren(c);
    auto at = std::find(above.begin(), above.end(), topLevel);
    if (at == above.end())
        return false;
    above.erase(above.begin(), at + 1);
    struct Sibling {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
    };
    std::vector<Sibling> siblings;
    for (xcb_window_t w : above)
        siblings.push_back({xcb_get_window_attributes(c.get(), w), xcb_get_geometry(c.get(), w)});
    bool covered = false;
    for (const Sibling& s : siblings) {
        auto attributes = c.reply<xcb_get_window_attributes_reply_t>(s.attributes);
        auto geometry = c.reply<xcb_get_geometry_reply_t>(s.geometry);
        if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
            attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) {
            continue;
        }
        const std::uint32_t border = 2u * geometry->border_width;
        covered = covered || overlap({p.x, p.y, p.width, p.height},
                                     {geometry->x, geometry->y, geometry->width + border,
                                      geometry->height + border});
    }
    return covered;
}

}  // namespace ostrovane::platform::x11
