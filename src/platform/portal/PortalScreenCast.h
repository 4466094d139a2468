#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/PlatformError.h"
#include "util/UniqueFd.h"

namespace ostrovane::platform::portal {

// Source types and cursor modes, as the ScreenCast portal numbers them.
enum class SourceType : std::uint32_t { monitor = 1, window = 2, virtualOutput = 4 };
enum class CursorMode : std::uint32_t { hidden = 1, embedded = 2, metadata = 4 };

// What the portal offers, read without asking the user.
struct PortalOffer {
    std::uint32_t version = 0;
    std::uint32_t sourceTypes = 0;  // SourceType bits
    std::uint32_t cursorModes = 0;  // CursorMode bits
    bool offers(SourceType type) const {
        return (sourceTypes & static_cast<std::uint32_t>(type)) != 0;
    }
};

// Where the session bus is and how long each step may take.
struct PortalOptions {
    // Empty: the user's session bus (DBUS_SESSION_BUS_ADDRESS).
    std::string busAddress;
    // Bound of every call and of every answer the portal gives by itself.
    std::chrono::milliseconds timeout{5000};
    // How long the user may take over the portal's dialog.
    std::chrono::milliseconds consentLimit{25000};
};

// Reads the ScreenCast portal's properties. Errors name what is missing: no
// session bus, no portal on it, or a portal without ScreenCast.
Result<PortalOffer> readPortalOffer(const PortalOptions& options);

// What to ask the portal for.
struct CastRequest {
    SourceType type = SourceType::monitor;
    // Embedded when offered, else metadata (drawn by the consumer), else
    // hidden; false: hidden. Only a mode the portal offers is asked for.
    bool showCursor = true;
    // The token of an earlier grant for this target; sent with persist mode 2
    // to portals of version 4 and later, which then may skip the dialog.
    std::optional<std::string> restoreToken;
};

// The one stream a granted session carries.
struct CastStream {
    std::uint32_t nodeId = 0;
    std::optional<std::int32_t> width;  // the stream's size, when the portal says
    std::optional<std::int32_t> height;
    std::optional<std::int32_t> x;  // its position; unreliable across portals
    std::optional<std::int32_t> y;
    std::optional<std::uint32_t> sourceType;
};

// What a failed start means for whoever asked.
enum class StartFailure {
    lasting,  // as its error says
    // The portal's backend failed by itself before the user could have
    // answered (response 2, as from a backend that is starting again): the
    // same request may well work a moment later.
    transient,
    // The portal refused the restore token sent along: it will never work.
    tokenRefused,
};

// One granted ScreenCast session: CreateSession, SelectSources, Start and
// OpenPipeWireRemote done, its PipeWire remote open. Its own bus connection
// is served on a thread of its own, so that the portal's Session.Closed
// (the user stopped sharing, the compositor went away:
// sessionClosedError()) and the loss of the bus (kSessionClosedCode, naming
// the bus) reach `onClosed`, once, on that thread. Destroying the session
// closes it quietly (Session.Close, bounded by the timeout): no callback
// runs once the destructor returns. The observer may destroy the session.
class PortalSession {
  public:
    // Asks the portal (the user may be shown a dialog) and waits at most the
    // consent limit for the user and the timeout for every other step.
    // Errors: the user declined (userDeclinedError), the user took too long
    // (consentTimeoutError; the request is closed), no portal or no ScreenCast
    // (kPortalUnavailableCode), a source type the portal does not offer
    // (kUnsupportedTargetCode), any other failure (kPortalFailedCode); what
    // the failure means goes to `failure` when given.
    static Result<std::unique_ptr<PortalSession>> start(const PortalOptions& options,
                                                        const CastRequest& request,
                                                        std::function<void(const Error&)> onClosed,
                                                        StartFailure* failure = nullptr);
    ~PortalSession();

    PortalSession(const PortalSession&) = delete;
    PortalSession& operator=(const PortalSession&) = delete;

    // The PipeWire remote (close-on-exec); owned by the session.
    int pipeWireFd() const;
    const CastStream& stream() const;
    // The cursor mode the session was set up with.
    CursorMode cursorMode() const;
    // The token the portal gave for this grant; nothing when it gave none.
    const std::optional<std::string>& restoreToken() const;
    // What the portal offered when it was asked.
    const PortalOffer& offer() const;

    class Impl;
    class Key {
        friend class PortalSession;
        Key() = default;
    };
    PortalSession(Key, std::unique_ptr<Impl> impl);

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace ostrovane::platform::portal
