#include "platform/x11/X11CaptureStream.h"

#include "platform/image/StreamFrames.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Errors.h"

namespace ostrovane::platform::x11 {

namespace {
std::optional<Error> stopErrorOf(GrabResult result) {
    switch (result) {
        case GrabResult::ok:
        case GrabResult::nothing:
            return std::nullopt;
        case GrabResult::targetGone:
            return windowClosedError();
        case GrabResult::displayGone:
            return displayRemovedError();
        case GrabResult::serverGone:
            return serverGoneError();
        case GrabResult::unsupported:
            return pixelFormatError();
    }
    return std::nullopt;
}
}  // namespace

X11CaptureStream::X11CaptureStream(dispatch::Clock& clock, std::string displayName,
                                   std::chrono::milliseconds timeout,
                                   std::shared_ptr<dispatch::SerialQueue> events,
                                   ContentFilter filter, StreamConfiguration configuration,
                                   StreamStopHandler onStop)
    : ThreadedCaptureStream(
          clock, std::move(events), configuration, std::move(onStop),
          {kErrorDomain, "Audio is captured from the sound server, not the X server"}),
      displayName_(std::move(displayName)),
      timeout_(timeout),
      _filter(std::move(filter)) {}

X11CaptureStream::~X11CaptureStream() {
    halt();
}

MaybeError X11CaptureStream::filterWhileStoppedLocked(const ContentFilter& filter) {
    _filter = filter;
    return std::nullopt;
}

bool X11CaptureStream::applyFilterChanges(X11Capture& capture) {
    std::vector<FilterChange> changes = takeFilterChanges();
    ContentFilter current;
    {
        std::lock_guard lock(mutex_);
        current = _filter;
    }
    for (auto& change : changes) {
        MaybeError error = capture.select(change.filter);
        if (!error) {
            current = change.filter;
        } else if (auto back = capture.select(current)) {
            // Neither the new nor the old target can be shown any more.
            complete(std::move(change.completion), error);
            stopByItself(*back);
            return false;
        }
        complete(std::move(change.completion), error);
    }
    std::lock_guard lock(mutex_);
    _filter = current;
    return true;
}

void X11CaptureStream::run(dispatch::BackgroundTask::Context& context, StreamCompletion started) {
    ServerState state = ServerState::absent;
    auto connection = X11Connection::open(displayName_, timeout_, &state);
    if (!connection) {
        failStart(std::move(started),
                  state == ServerState::silent ? notAnsweringError() : serverGoneError());
        return;
    }
    X11Capture capture(*connection);
    ContentFilter filter;
    {
        std::lock_guard lock(mutex_);
        filter = _filter;
    }
    if (MaybeError error = capture.select(filter)) {
        failStart(std::move(started), *error);
        return;
    }
    complete(std::move(started), std::nullopt);

    const dispatch::Duration period = framePeriod();
    ImageView grabbed;
    StreamFrames frames(configuration());
    dispatch::Duration next = context.clock().uptime();
    while (!context.stopRequested()) {
        if (!applyFilterChanges(capture))
            return;
        const GrabResult result = capture.grab(grabbed, configuration().showsCursor);
        const dispatch::Duration now = context.clock().uptime();
        if (auto error = stopErrorOf(result)) {
            // A server that stalled past the bound may only be busy: say so.
            const bool stalled = result == GrabResult::serverGone && connection->stalled();
            stopByItself(stalled ? notAnsweringError() : *error);
            return;
        }
        if (result == GrabResult::ok)
            deliver(frames.scale(grabbed), MediaTime{now.count(), 1'000'000'000});
        // A late frame does not make the next ones come in a burst.
        next = std::max(next + period, now);
        if (!context.clock().sleepUntil(next, context.stopToken()))
            return;
    }
}

}  // namespace ostrovane::platform::x11
