#include "platform/x11/X11Displays.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>

#include "platform/UnavailableCaptureStream.h"

namespace ostrovane::platform::x11 {

namespace {
constexpr const char* kErrorDomain = "X11DisplayCapture";
constexpr std::int64_t kNotAvailableCode = -3801;

Error notAvailable(const std::string& what) {
    return Error{kErrorDomain, kNotAvailableCode, what + " is not available on this system yet"};
}

template <class Reply>
using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

template <class Reply>
ReplyPtr<Reply> owned(Reply* reply) {
    return ReplyPtr<Reply>(reply, &std::free);
}

std::string atomName(xcb_connection_t* c, xcb_atom_t atom) {
    auto reply = owned(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr));
    if (!reply)
        return {};
    return std::string(xcb_get_atom_name_name(reply.get()),
                       static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
}

xcb_screen_t* screenAt(xcb_connection_t* c, int number) {
    auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it)) {
        if (i == number)
            return it.data;
    }
    return nullptr;
}
}  // namespace

void X11Displays::ConnectionCloser::operator()(xcb_connection_t* c) const {
    xcb_disconnect(c);
}

std::shared_ptr<X11Displays> X11Displays::connect(dispatch::Clock& clock,
                                                  const std::string& displayName) {
    int screen = 0;
    std::unique_ptr<xcb_connection_t, ConnectionCloser> c(
        xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screen));
    // xcb hands out an error object rather than null; it must still be closed.
    if (!c || xcb_connection_has_error(c.get()) != 0)
        return nullptr;
    return std::make_shared<X11Displays>(Key{}, clock, std::move(c), screen);
}

X11Displays::X11Displays(Key, dispatch::Clock& clock,
                         std::unique_ptr<xcb_connection_t, ConnectionCloser> c, int screenNumber)
    : connection_(std::move(c)), screenNumber_(screenNumber), queue_(clock, "x11.displays") {}

X11Displays::~X11Displays() = default;

std::vector<X11Monitor> X11Displays::monitors() {
    xcb_connection_t* c = connection_.get();
    std::vector<X11Monitor> out;
    xcb_screen_t* screen = screenAt(c, screenNumber_);
    if (!screen || xcb_connection_has_error(c) != 0)
        return out;

    auto reply =
        owned(xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, screen->root, 1), nullptr));
    if (reply) {
        auto it = xcb_randr_get_monitors_monitors_iterator(reply.get());
        for (std::uint32_t index = 1; it.rem > 0; ++index, xcb_randr_monitor_info_next(&it)) {
            const xcb_randr_monitor_info_t* info = it.data;
            X11Monitor m;
            // The first output names the monitor stably; a monitor without
            // outputs (a virtual one) is numbered by position.
            const int outputs = xcb_randr_monitor_info_outputs_length(info);
            m.id = outputs > 0 ? xcb_randr_monitor_info_outputs(info)[0] : index;
            if (m.id == 0)
                m.id = index;
            m.name = atomName(c, info->name);
            m.x = info->x;
            m.y = info->y;
            m.width = info->width;
            m.height = info->height;
            m.primary = info->primary != 0;
            out.push_back(std::move(m));
        }
    }
    if (out.empty()) {
        // No RandR monitors: the X screen itself is the one display.
        out.push_back(X11Monitor{1, "Screen " + std::to_string(screenNumber_), 0, 0,
                                 screen->width_in_pixels, screen->height_in_pixels, true});
    }
    return out;
}

Rect X11Displays::toGlobal(const X11Monitor& m, const X11Monitor& primary) {
    const double primaryBottom = static_cast<double>(primary.y) + primary.height;
    return Rect{static_cast<double>(m.x - primary.x),
                primaryBottom - (static_cast<double>(m.y) + m.height), static_cast<double>(m.width),
                static_cast<double>(m.height)};
}

std::vector<Display> X11Displays::displaysOf(const std::vector<X11Monitor>& monitors) {
    std::vector<Display> displays;
    if (monitors.empty())
        return displays;
    const X11Monitor* primary = &monitors.front();
    for (const auto& m : monitors) {
        if (m.primary)
            primary = &m;
    }
    // The primary monitor comes first, as the main display does elsewhere.
    auto add = [&](const X11Monitor& m) {
        displays.push_back(Display{m.id, m.width, m.height, toGlobal(m, *primary)});
    };
    add(*primary);
    for (const auto& m : monitors) {
        if (&m != primary)
            add(m);
    }
    return displays;
}

void X11Displays::shareableContent(const ShareableContentOptions&,
                                   std::function<void(Result<ShareableContent>)> completion) {
    queue_.async([this, completion = std::move(completion)] {
        ShareableContent content;
        content.displays = displaysOf(monitors());
        if (content.displays.empty()) {
            completion(Error{kErrorDomain, kNotAvailableCode, "The X server cannot be reached"});
            return;
        }
        completion(std::move(content));
    });
}

ContentFilter X11Displays::makeFilter(const Display& display) {
    return ContentFilter{display, display.frame, 1.0};
}

ContentFilter X11Displays::makeFilter(const Window& window) {
    return ContentFilter{window, window.frame, 1.0};
}

std::shared_ptr<CaptureStream> X11Displays::makeStream(const ContentFilter&,
                                                       const StreamConfiguration& configuration,
                                                       StreamStopHandler) {
    return std::make_shared<UnavailableCaptureStream>(configuration, queue_.ref(),
                                                      notAvailable("Screen capture"));
}

void X11Displays::screenshot(const ContentFilter&, const StreamConfiguration&,
                             std::function<void(Result<Image>)> completion) {
    queue_.async([completion = std::move(completion)] { completion(notAvailable("Screenshot")); });
}

ScreenList X11Displays::screens() {
    ScreenList list;
    const auto all = monitors();
    const auto displays = displaysOf(all);
    for (const auto& d : displays) {
        std::string name;
        for (const auto& m : all) {
            if (m.id == d.displayId)
                name = m.name;
        }
        list.screens.push_back(Screen{d.displayId, name, d.frame});
    }
    if (!list.screens.empty())
        list.mainScreen = 0;  // the primary monitor
    return list;
}

}  // namespace ostrovane::platform::x11
