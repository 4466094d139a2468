#include "platform/x11/X11Displays.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/image/StreamFrames.h"
#include "platform/x11/WindowOwners.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11CaptureStream.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Errors.h"
#include "platform/x11/X11Windows.h"
#include "platform/x11/XwaylandNotice.h"
#include "protocol/TextChannel.h"

namespace ostrovane::platform::x11 {

namespace {

std::optional<Error> grabError(GrabResult result) {
    switch (result) {
        case GrabResult::ok:
            return std::nullopt;
        case GrabResult::nothing:
        case GrabResult::targetGone:
        case GrabResult::displayGone:
            return targetUnavailableError();
        case GrabResult::serverGone:
            return serverGoneError();
        case GrabResult::unsupported:
            return pixelFormatError();
    }
    return targetUnavailableError();
}
}  // namespace

std::shared_ptr<X11Displays> X11Displays::connect(dispatch::Clock& clock,
                                                  const std::string& displayName) {
    Options options;
    options.displayName = displayName;
    return connect(clock, std::move(options));
}

std::shared_ptr<X11Displays> X11Displays::connect(dispatch::Clock& clock, Options options) {
    if (!options.log)
        options.log = protocol::logLine;
    if (!options.owners)
        options.owners = std::make_shared<ProcessWindowOwners>();
    ServerState state = ServerState::absent;
    // At start-up the server gets less time: the helper answers its parent
    // only once the screens are set up, and a server that is slow now is
    // connected to again on first use.
    auto connection =
        X11Connection::open(options.displayName, options.timeout, &state, kStartAnswerLimit);
    const bool xwayland = connection && connection->hasExtension("XWAYLAND");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (auto notice = waylandNotice(wayland != nullptr && *wayland != '\0', connection != nullptr,
                                    xwayland)) {
        options.log(*notice);
    }
    if (!connection && state != ServerState::silent)
        return nullptr;
    if (connection)
        options.log("X11ScreenCapture: X server " + connection->describeServer());
    if (!connection) {
        // Stopped or busy: the screens are read once it answers.
        options.log(
            "X11ScreenCapture: the X server does not answer yet; its screens are read "
            "once it does");
    }
    return std::make_shared<X11Displays>(Key{}, clock, std::move(options), std::move(connection));
}

X11Displays::X11Displays(Key, dispatch::Clock& clock, Options options,
                         std::unique_ptr<X11Connection> connection)
    : clock_(clock),
      options_(std::move(options)),
      connection_(std::move(connection)),
      events_(std::make_shared<dispatch::SerialQueue>(clock, "x11.events")),
      queue_(clock, "x11.displays") {}

X11Displays::~X11Displays() = default;

Result<X11Connection*> X11Displays::queryConnection() {
    if (connection_ && connection_->alive())
        return connection_.get();
    // A stall or a break leaves the connection unusable: its replies can no
    // longer be matched. The next query opens another.
    capture_.reset();  // it speaks through the old one
    connection_.reset();
    ServerState state = ServerState::absent;
    connection_ = X11Connection::open(options_.displayName, options_.timeout, &state);
    if (!connection_)
        return state == ServerState::silent ? notAnsweringError() : serverGoneError();
    return connection_.get();
}

Error X11Displays::lostError() const {
    return connection_ && connection_->stalled() ? notAnsweringError() : serverGoneError();
}

Result<ShareableContent> X11Displays::readContent(const ShareableContentOptions& options) {
    auto connection = queryConnection();
    if (!connection)
        return connection.error();
    auto monitors = readMonitors(*connection.value(), false);
    if (!monitors)
        return lostError();
    auto windows = readWindows(*connection.value(), *monitors, *options_.owners);
    if (!windows)
        return lostError();
    ShareableContent content;
    content.displays = displaysOf(*monitors);
    for (Window& w : *windows) {
        if (options.onScreenWindowsOnly && !w.isOnScreen)
            continue;
        if (options.excludeDesktopWindows && w.isDesktopWindow)
            continue;
        content.windows.push_back(std::move(w));
    }
    return content;
}

void X11Displays::shareableContent(const ShareableContentOptions& options,
                                   std::function<void(Result<ShareableContent>)> completion) {
    queue_.async(
        [this, options, completion = std::move(completion)] { completion(readContent(options)); });
}

ContentFilter X11Displays::makeFilter(const Display& display) {
    return ContentFilter{display, Rect{0, 0, display.frame.width, display.frame.height}, 1.0};
}

ContentFilter X11Displays::makeFilter(const Window& window) {
    return ContentFilter{window, Rect{0, 0, window.frame.width, window.frame.height}, 1.0};
}

std::shared_ptr<CaptureStream> X11Displays::makeStream(const ContentFilter& filter,
                                                       const StreamConfiguration& configuration,
                                                       StreamStopHandler onStop) {
    return std::make_shared<X11CaptureStream>(clock_, options_.displayName, options_.timeout,
                                              events_, filter, configuration, std::move(onStop),
                                              options_.log);
}

Result<Image> X11Displays::shoot(const ContentFilter& filter,
                                 const StreamConfiguration& configuration) {
    auto connection = queryConnection();
    if (!connection)
        return connection.error();
    if (!capture_)
        capture_ = std::make_unique<X11Capture>(*connection.value());
    if (MaybeError error = capture_->select(filter))
        return connection_->alive() ? *error : lostError();
    ImageView view;
    const GrabResult grabbed = capture_->grab(view, configuration.showsCursor);
    capture_->release();  // a window shows as it is on the screen again
    if (grabbed == GrabResult::serverGone)
        return lostError();
    if (auto error = grabError(grabbed))
        return *error;
    auto shot = scaleStill(view, configuration, scaler_);
    if (!shot)
        return targetUnavailableError();
    return std::move(*shot);
}

void X11Displays::screenshot(const ContentFilter& filter, const StreamConfiguration& configuration,
                             std::function<void(Result<Image>)> completion) {
    queue_.async([this, filter, configuration, completion = std::move(completion)] {
        completion(shoot(filter, configuration));
        // The grab's buffers (a shared-memory segment of the largest
        // target: 33 MB on a 4K screen) serve the rest of a
        // listing's thumbnails and repeated screenshots, and go back once
        // no still has been asked for a while.
        const std::uint64_t taken = ++stillsTaken_;
        queue_.asyncAfter(kGrabKeptIdle, [this, taken] {
            if (taken != stillsTaken_)
                return;
            capture_.reset();
            scaler_ = ImageScaler();
            // Freed images of this size may stay in the heap (the allocator
            // raises its mmap threshold after the first): hand them back.
            ::malloc_trim(0);
        });
    });
}

ScreenList X11Displays::screens() {
    ScreenList list;
    queue_.sync([&] {
        auto connection = queryConnection();
        if (!connection)
            return;
        if (auto monitors = readMonitors(*connection.value(), true))
            list = screensOf(*monitors);
    });
    return list;
}

}  // namespace ostrovane::platform::x11
