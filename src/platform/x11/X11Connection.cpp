#include "platform/x11/X11Connection.h"

#include <poll.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <cstring>

namespace ostrovane::platform::x11 {

namespace {
// The longest a single poll sleeps: another reader of the socket (xcb's own
// event reading) may have buffered our reply without waking us.
constexpr std::chrono::milliseconds kPollSlice{10};

const xcb_screen_t* screenAt(xcb_connection_t* c, int number) {
    auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it)) {
        if (i == number)
            return it.data;
    }
    return nullptr;
}
}  // namespace

std::unique_ptr<X11Connection> X11Connection::open(
    const std::string& displayName, std::chrono::milliseconds timeout, ServerState* state,
    std::optional<std::chrono::milliseconds> answerLimit) {
    // Held until xcb has connected (see ServerProbe::connection).
    const ServerProbe probe = probeServer(displayName, answerLimit.value_or(timeout));
    if (state != nullptr)
        *state = probe.state;
    if (probe.state == ServerState::silent || probe.state == ServerState::absent)
        return nullptr;
    int number = 0;
    xcb_connection_t* c = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &number);
    // xcb hands out an error object rather than null; it must still be closed.
    if (c == nullptr)
        return nullptr;
    const xcb_screen_t* screen = xcb_connection_has_error(c) == 0 ? screenAt(c, number) : nullptr;
    if (screen == nullptr) {
        xcb_disconnect(c);
        return nullptr;
    }
    return std::make_unique<X11Connection>(Key{}, c, screen, number, timeout);
}

X11Connection::X11Connection(Key, xcb_connection_t* c, const xcb_screen_t* screen, int number,
                             std::chrono::milliseconds timeout)
    : connection_(c), screen_(screen), number_(number), timeout_(timeout) {}

X11Connection::~X11Connection() {
    xcb_disconnect(connection_);
}

bool X11Connection::alive() const {
    return !stalled_ && xcb_connection_has_error(connection_) == 0;
}

void* X11Connection::waitForReply(unsigned int sequence, std::uint8_t* errorCode) {
    if (errorCode != nullptr)
        *errorCode = 0;
    if (!alive())
        return nullptr;
    xcb_flush(connection_);
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    for (;;) {
        void* reply = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (xcb_poll_for_reply(connection_, sequence, &reply, &error) != 0) {
            if (error != nullptr) {
                if (errorCode != nullptr)
                    *errorCode = error->error_code;
                std::free(error);
            }
            return reply;
        }
        // A closed connection is lost (alive() tells); only a reply that
        // does not come in time is a stall.
        if (xcb_connection_has_error(connection_) != 0)
            return nullptr;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            stalled_ = true;
            return nullptr;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(std::min(left, kPollSlice).count()) + 1);
    }
}

bool X11Connection::sync() {
    return reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus(connection_)) != nullptr;
}

bool X11Connection::check(xcb_void_cookie_t cookie, std::uint8_t* errorCode) {
    if (errorCode != nullptr)
        *errorCode = 0;
    // After a later request's reply, the earlier request's error (if any) is
    // already in, so polling for it cannot block.
    if (!sync())
        return false;
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(connection_, cookie.sequence, &reply, &error) == 0)
        return true;
    std::free(reply);
    if (error == nullptr)
        return alive();
    if (errorCode != nullptr)
        *errorCode = error->error_code;
    std::free(error);
    return false;
}

void X11Connection::drainEvents() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        if (sink_)
            sink_(*event);
        std::free(event);
    }
}

bool X11Connection::awaitEvent(const std::function<bool(const xcb_generic_event_t&)>& matches,
                               std::chrono::milliseconds limit) {
    xcb_flush(connection_);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (alive()) {
        if (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            const bool found = matches(*event);
            if (!found && sink_)
                sink_(*event);
            std::free(event);
            if (found)
                return true;
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(std::min(left, kPollSlice).count()) + 1);
    }
    return false;
}

xcb_atom_t X11Connection::atom(const std::string& name) {
    if (auto it = atoms_.find(name); it != atoms_.end())
        return it->second;
    auto answer = reply<xcb_intern_atom_reply_t>(
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()));
    if (!answer)
        return XCB_ATOM_NONE;
    atoms_[name] = answer->atom;
    return answer->atom;
}

bool X11Connection::prepareExtension(xcb_extension_t* extension) {
    if (auto it = extensions_.find(extension); it != extensions_.end())
        return it->second;
    xcb_prefetch_extension_data(connection_, extension);
    // The sync's reply comes after the extension's, so the lookup below
    // finds its answer already read.
    if (!sync())
        return false;
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection_, extension);
    return extensions_[extension] = data != nullptr && data->present != 0;
}

std::string X11Connection::describeServer() {
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    std::string text;
    text.append(xcb_setup_vendor(setup), static_cast<std::size_t>(xcb_setup_vendor_length(setup)));
    text += " release " + std::to_string(setup->release_number) + ", screen " +
            std::to_string(screen_->width_in_pixels) + "x" +
            std::to_string(screen_->height_in_pixels) + " depth " +
            std::to_string(screen_->root_depth) + "; extensions:";
    for (const char* name : {"RANDR", "MIT-SHM", "Composite", "DAMAGE", "XFIXES"})
        text += std::string(" ") + name + (hasExtension(name) ? " yes" : " no");
    return text;
}

bool X11Connection::hasExtension(const char* name) {
    auto answer = reply<xcb_query_extension_reply_t>(
        xcb_query_extension(connection_, static_cast<std::uint16_t>(std::strlen(name)), name));
    return answer && answer->present != 0;
}

}  // namespace ostrovane::platform::x11
