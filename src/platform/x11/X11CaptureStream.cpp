#include "platform/x11/X11CaptureStream.h"

#include <xcb/xfixes.h>

#include "platform/image/ChangedFrames.h"
#include "platform/image/PictureChange.h"
#include "platform/screens/FrameCadence.h"
#include "platform/x11/DamageWatch.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Errors.h"
#include "util/ThreadAnnotations.h"

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
// Where a cursor at root (x, y) may be drawn on the target: a square around
// it that holds any cursor image with its hot spot anywhere.
using CursorBox = PixelRect;
constexpr std::int32_t kCursorReach = 64;
CursorBox cursorBox(std::int32_t x, std::int32_t y, const X11Capture::Target& target) {
    const std::int32_t left = std::max(x - target.x - kCursorReach, 0);
    const std::int32_t top = std::max(y - target.y - kCursorReach, 0);
    const std::int32_t right = x - target.x + kCursorReach;
    const std::int32_t bottom = y - target.y + kCursorReach;
    if (right <= left || bottom <= top)
        return {};
    return PixelRect{static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top),
                     static_cast<std::uint32_t>(right - left),
                     static_cast<std::uint32_t>(bottom - top)}
        .intersected({0, 0, target.size.width, target.size.height});
}

// Root rectangles as the target's (a monitor's) own; those outside it go.
void toTarget(std::vector<PixelRect>& rects, const X11Capture::Target& target) {
    std::vector<PixelRect> inside;
    for (const PixelRect& r : rects) {
        const std::int64_t x = std::int64_t{r.x} - target.x, y = std::int64_t{r.y} - target.y;
        const std::int64_t left = std::max<std::int64_t>(x, 0), top = std::max<std::int64_t>(y, 0);
        const std::int64_t right = std::min<std::int64_t>(x + r.width, target.size.width);
        const std::int64_t bottom = std::min<std::int64_t>(y + r.height, target.size.height);
        if (right > left && bottom > top) {
            inside.push_back({static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top),
                              static_cast<std::uint32_t>(right - left),
                              static_cast<std::uint32_t>(bottom - top)});
        }
    }
    rects = std::move(inside);
}

// Grabs the changed rectangles of the target (in the target's pixels) into
// the frame under way: `nothing` when the target's place or size changed
// meanwhile or most of it changed, which a whole grab serves better.
GrabResult grabParts(X11Capture& capture, ChangedFrames& frames, std::vector<PixelRect>& changed,
                     bool withCursor) {
    const X11Capture::Target before = capture.target();
    std::vector<ScaledRegion> regions;
    for (const PixelRect& r : changed) {
        if (ScaledRegion region = frames.regionOf(r); !region.destination.empty())
            regions.push_back(region);
    }
    std::vector<PixelRect> sources;
    for (const ScaledRegion& region : regions)
        sources.push_back(region.source);
    mergeParts(sources);
    // The merged areas, as the scaling needs them.
    regions.clear();
    std::uint64_t total = 0;
    for (const PixelRect& source : sources) {
        regions.push_back(frames.regionOf(source));
        total += areaOf(regions.back().source);
    }
    if (double(total) >
        kWholeChangeShare * double(areaOf({0, 0, before.size.width, before.size.height})))
        return GrabResult::nothing;
    if (regions.empty())
        return GrabResult::ok;  // damage beside the target: the same picture
    sources.clear();
    for (const ScaledRegion& region : regions)
        sources.push_back(region.source);
    std::size_t next = 0;
    bool intact = true;
    const GrabResult result = capture.grabParts(
        sources, withCursor, [&](const ImageView& grabbed, const PixelRect& area) {
            // Parts come in order; one clipped away by a new size is skipped.
            while (next < regions.size() && !(regions[next].source == area))
                ++next, intact = false;
            if (next == regions.size())
                return;
            frames.add(grabbed, regions[next++]);
        });
    if (result != GrabResult::ok)
        return result;
    return intact && next == regions.size() && capture.target() == before ? GrabResult::ok
                                                                          : GrabResult::nothing;
}

}  // namespace

X11CaptureStream::X11CaptureStream(dispatch::Clock& clock, std::string displayName,
                                   std::chrono::milliseconds timeout,
                                   std::shared_ptr<dispatch::SerialQueue> events,
                                   ContentFilter filter, StreamConfiguration configuration,
                                   StreamStopHandler onStop,
                                   std::function<void(std::string_view)> log)
    : ThreadedCaptureStream(
          clock, std::move(events), configuration, std::move(onStop),
          {kErrorDomain, "Audio is captured from the sound server, not the X server"}),
      displayName_(std::move(displayName)),
      timeout_(timeout),
      log_(std::move(log)),
      _filter(std::move(filter)) {}

X11CaptureStream::~X11CaptureStream() {
    halt();
}

MaybeError X11CaptureStream::filterWhileStoppedLocked(const ContentFilter& filter) {
    _filter = filter;
    return std::nullopt;
}

bool X11CaptureStream::applyFilterChanges(X11Capture& capture, bool& switched) {
    std::vector<FilterChange> changes = takeFilterChanges();
    switched = !changes.empty();
    ContentFilter current;
    {
        util::MutexLock lock(mutex_);
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
    util::MutexLock lock(mutex_);
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
        util::MutexLock lock(mutex_);
        filter = _filter;
    }
    if (MaybeError error = capture.select(filter)) {
        failStart(std::move(started), *error);
        return;
    }
    complete(std::move(started), std::nullopt);

    const dispatch::Duration period = framePeriod();
    const bool withCursor = configuration().showsCursor;
    ChangedFrames frames(configuration());
    FrameCadence cadence;
    std::unique_ptr<DamageWatch> watch;
    connection->setEventSink([&watch](const xcb_generic_event_t& event) {
        if (watch)
            watch->onEvent(event);
    });
    bool told = false;
    const auto watchTarget = [&] {
        watch.reset();
        watch = DamageWatch::watch(*connection, capture.drawable());
        if (!watch && !told && log_) {
            log_("X11CaptureStream: XDamage not available: grabbing every tick");
            told = true;
        }
    };
    watchTarget();
    std::optional<std::pair<std::int16_t, std::int16_t>> pointer;
    bool wholeDue = true;
    ImageView grabbed;
    dispatch::Duration next = context.clock().uptime();
    while (!context.stopRequested()) {
        bool switched = false;
        if (!applyFilterChanges(capture, switched))
            return;
        if (switched) {
            watchTarget();
            wholeDue = true;
            cadence.restart();
        }
        connection->drainEvents();
        bool changed = !watch || wholeDue;
        if (watch && watch->takeReshaped())
            changed = wholeDue = true;
        // The cursor moving or changing shape changes its old and new place.
        std::vector<PixelRect> cursorAreas;
        if (watch && withCursor) {
            auto at = connection->reply<xcb_query_pointer_reply_t>(
                xcb_query_pointer(connection->get(), connection->root()));
            const bool shape = watch->takeCursorShapeChanged();
            if (at && (shape || !pointer || *pointer != std::pair(at->root_x, at->root_y))) {
                const auto around = [&](std::int32_t x, std::int32_t y) {
                    const CursorBox box = cursorBox(x, y, capture.target());
                    if (!box.empty())
                        cursorAreas.push_back(box);
                };
                if (pointer)
                    around(pointer->first, pointer->second);
                around(at->root_x, at->root_y);
                pointer = std::pair(at->root_x, at->root_y);
                // A pointer that moves beside the target changes nothing.
                changed = changed || !cursorAreas.empty();
            }
        }
        if (watch && watch->damaged())
            changed = true;
        const dispatch::Duration now = context.clock().uptime();
        const MediaTime time{now.count(), 1'000'000'000};
        const FrameCadence::Step step = cadence.atTick(now, changed);
        GrabResult result = GrabResult::ok;
        if (step == FrameCadence::Step::repeat) {
            // One pixel, to learn that the target is still there.
            result = capture.grab(grabbed, false, PixelRect{0, 0, 1, 1});
            if (result == GrabResult::ok && frames.last())
                deliver(frames.last(), time);
        } else if (step == FrameCadence::Step::capture) {
            std::shared_ptr<const Image> frame;
            std::optional<std::vector<PixelRect>> damage;
            if (watch)
                damage = watch->take();
            bool whole = wholeDue || !damage || !frames.begin(capture.target().size);
            if (!whole) {
                if (capture.drawable() == connection->root())
                    toTarget(*damage, capture.target());
                damage->insert(damage->end(), cursorAreas.begin(), cursorAreas.end());
                result = grabParts(capture, frames, *damage, withCursor);
                frame = result == GrabResult::ok ? frames.finish() : nullptr;
                // Most of it changed, or its place or size: all of it, now.
                whole = result == GrabResult::nothing;
            }
            if (whole) {
                result = capture.grab(grabbed, withCursor);
                if (result == GrabResult::ok)
                    frame = frames.whole(grabbed);
            }
            wholeDue = frame == nullptr;
            if (frame)
                deliver(std::move(frame), time);
            else
                cadence.missed();
        }
        if (auto error = stopErrorOf(result)) {
            // A server that stalled past the bound may only be busy: say so.
            const bool stalled = result == GrabResult::serverGone && connection->stalled();
            stopByItself(stalled ? notAnsweringError() : *error);
            return;
        }
        // A late frame does not make the next ones come in a burst.
        next = std::max(next + period, now);
        if (!context.clock().sleepUntil(next, context.stopToken()))
            return;
    }
}

}  // namespace ostrovane::platform::x11
