#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/x11/ServerProbe.h"

namespace ostrovane::platform::x11 {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
// A reply as xcb hands it out: malloc'ed, freed with free().
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// One connection to an X server with bounded waits. xcb's own reply and
// request-check calls block for as long as the server takes; here every wait
// polls the connection's socket against a deadline. A request that is not
// answered in time marks the connection stalled: it is then treated like a
// lost one, since its replies can no longer be matched with confidence.
//
// Used from one thread at a time (each stream grabs on a connection of its
// own; queries run on the provider's queue).
class X11Connection {
  public:
    // Null when no X server answers at `displayName` (empty: $DISPLAY)
    // within `answerLimit` (none: the timeout of every request); `state`
    // then tells whether one is there at all.
    static std::unique_ptr<X11Connection> open(
        const std::string& displayName, std::chrono::milliseconds timeout,
        ServerState* state = nullptr,
        std::optional<std::chrono::milliseconds> answerLimit = std::nullopt);
    ~X11Connection();

    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    xcb_connection_t* get() const { return connection_; }
    const xcb_screen_t& screen() const { return *screen_; }
    xcb_window_t root() const { return screen_->root; }
    int screenNumber() const { return number_; }
    // False once the server went away or a request went unanswered.
    bool alive() const;
    // Whether a request went unanswered (the server may only be busy).
    bool stalled() const { return stalled_; }

    // The reply to a request, waiting at most the timeout. Null on an X error
    // (its code in `errorCode`), a lost connection or a timeout.
    template <class T, class Cookie>
    Reply<T> reply(Cookie cookie, std::uint8_t* errorCode = nullptr) {
        return Reply<T>(static_cast<T*>(waitForReply(cookie.sequence, errorCode)));
    }
    // Whether a request sent with a *_checked call was carried out.
    bool check(xcb_void_cookie_t cookie, std::uint8_t* errorCode = nullptr);
    // A round trip: every earlier request has been handled when it returns true.
    bool sync();
    // Drops queued events and errors of unchecked requests, which would
    // otherwise pile up in xcb's queue; events go to the sink first.
    void drainEvents();
    // Who hears the events that drainEvents and awaitEvent take (a stream's
    // damage watch); none: they are dropped.
    using EventSink = std::function<void(const xcb_generic_event_t&)>;
    void setEventSink(EventSink sink) { sink_ = std::move(sink); }
    // Waits at most `limit` for an event that `matches`; others are dropped.
    bool awaitEvent(const std::function<bool(const xcb_generic_event_t&)>& matches,
                    std::chrono::milliseconds limit);

    // The atom of `name` (interned once per connection); 0 when unavailable.
    xcb_atom_t atom(const std::string& name);

    // Whether the server has the extension; xcb's own lookup of its opcode
    // is done here, behind a bounded round trip, so that the extension's
    // requests never wait on it later.
    bool prepareExtension(xcb_extension_t* extension);
    // The answer of a one-time set-up step (an extension's version
    // handshake), computed on first use.
    template <class Compute>
    bool remember(const std::string& step, Compute compute) {
        if (auto it = steps_.find(step); it != steps_.end())
            return it->second;
        const bool done = compute();
        if (alive())
            steps_[step] = done;
        return done;
    }
    // Whether the server has an extension xcb has no binding for.
    bool hasExtension(const char* name);
    // The server's vendor and release, the screen's size and depth, and
    // which of the extensions capture uses it has: what a bug report about
    // black or sheared video needs first.
    std::string describeServer();

    class Key {
        friend class X11Connection;
        Key() = default;
    };
    X11Connection(Key, xcb_connection_t* c, const xcb_screen_t* screen, int number,
                  std::chrono::milliseconds timeout);

  private:
    void* waitForReply(unsigned int sequence, std::uint8_t* errorCode);

    xcb_connection_t* connection_;
    const xcb_screen_t* screen_;
    const int number_;
    const std::chrono::milliseconds timeout_;
    bool stalled_ = false;
    std::map<std::string, xcb_atom_t> atoms_;
    std::map<xcb_extension_t*, bool> extensions_;
    std::map<std::string, bool> steps_;
    EventSink sink_;
};

}  // namespace ostrovane::platform::x11
