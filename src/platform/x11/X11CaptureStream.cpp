#include "platform/x11/X11CaptureStream.h"

#include "platform/image/StreamFrames.h"
#include "platform/x11/X11Capture.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Errors.h"

namespace ostrovane::platform::x11 {

namespace {
constexpr double kDefaultFrameSeconds = 1.0 / 60.0;

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
    : clock_(clock),
      displayName_(std::move(displayName)),
      timeout_(timeout),
      events_(std::move(events)),
      configuration_(configuration),
      onStop_(std::move(onStop)),
      _filter(std::move(filter)) {}

X11CaptureStream::~X11CaptureStream() {
    halt();
}

MaybeError X11CaptureStream::addAudioOutput(AudioSampleHandler, dispatch::QueueRef) {
    return x11Error(kOutputCode, "Audio is captured from the sound server, not the X server");
}

MaybeError X11CaptureStream::addScreenOutput(ScreenSampleHandler handler,
                                             dispatch::QueueRef queue) {
    std::lock_guard lock(mutex_);
    if (_handler)
        return x11Error(kOutputCode, "A screen output was already added");
    _handler = std::move(handler);
    _queue = std::move(queue);
    return std::nullopt;
}

MaybeError X11CaptureStream::removeOutput(StreamOutputType type) {
    std::lock_guard lock(mutex_);
    if (type != StreamOutputType::screen || !_handler)
        return x11Error(kOutputCode, "No such output to remove");
    _handler = nullptr;
    _queue = {};
    return std::nullopt;
}

void X11CaptureStream::startCapture(StreamCompletion completion) {
    std::unique_ptr<dispatch::BackgroundTask> finished;
    {
        std::lock_guard lock(mutex_);
        if (_capturing) {
            complete(std::move(completion),
                     x11Error(kAlreadyRunningCode, "The stream is already running"));
            return;
        }
        finished = std::move(_grabber);  // a grabber that ended by itself
        _capturing = true;
        // Started under the lock so that a stop right after finds it; its body
        // takes the lock only after this returns.
        _grabber = std::make_unique<dispatch::BackgroundTask>(
            clock_, "x11.capture",
            [this, completion = std::move(completion)](dispatch::BackgroundTask::Context& context) {
                run(context, completion);
            });
    }
    finished.reset();
}

void X11CaptureStream::stopCapture(StreamCompletion completion) {
    const bool wasCapturing = halt();
    complete(std::move(completion),
             wasCapturing ? MaybeError{}
                          : MaybeError{x11Error(kNotRunningCode, "The stream is not running")});
}

bool X11CaptureStream::halt() {
    std::unique_ptr<dispatch::BackgroundTask> grabber;
    std::vector<FilterChange> unanswered;
    bool wasCapturing = false;
    {
        std::lock_guard lock(mutex_);
        wasCapturing = _capturing;
        _capturing = false;
        grabber = std::move(_grabber);
        unanswered = std::move(_filterChanges);
        _filterChanges.clear();
    }
    grabber.reset();  // joins: nothing is handed out once this returns
    for (auto& change : unanswered) {
        complete(std::move(change.completion),
                 x11Error(kNotRunningCode, "The stream stopped before the switch"));
    }
    return wasCapturing;
}

void X11CaptureStream::updateContentFilter(const ContentFilter& filter,
                                           StreamCompletion completion) {
    {
        std::lock_guard lock(mutex_);
        if (_capturing) {
            // The grabbing thread switches at its next frame and answers then.
            _filterChanges.push_back(FilterChange{filter, std::move(completion)});
            return;
        }
        _filter = filter;
    }
    complete(std::move(completion), std::nullopt);
}

void X11CaptureStream::complete(StreamCompletion completion, MaybeError error) {
    if (completion)
        events_->async([completion = std::move(completion), error] { completion(error); });
}

void X11CaptureStream::stopByItself(const Error& error) {
    std::vector<FilterChange> unanswered;
    {
        std::lock_guard lock(mutex_);
        if (!_capturing)
            return;  // stopped meanwhile: the owner asked first
        _capturing = false;
        unanswered = std::move(_filterChanges);
        _filterChanges.clear();
    }
    for (auto& change : unanswered)
        complete(std::move(change.completion), error);
    if (onStop_)
        events_->async([onStop = onStop_, stop = StreamStopError{error}] { onStop(stop); });
}

void X11CaptureStream::failStart(StreamCompletion started, const Error& error) {
    std::vector<FilterChange> unanswered;
    {
        std::lock_guard lock(mutex_);
        _capturing = false;
        unanswered = std::move(_filterChanges);
        _filterChanges.clear();
    }
    complete(std::move(started), error);
    for (auto& change : unanswered)
        complete(std::move(change.completion), error);
}

bool X11CaptureStream::applyFilterChanges(X11Capture& capture) {
    std::vector<FilterChange> changes;
    ContentFilter current;
    {
        std::lock_guard lock(mutex_);
        changes = std::move(_filterChanges);
        _filterChanges.clear();
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
    auto connection = X11Connection::open(displayName_, timeout_);
    if (!connection) {
        failStart(std::move(started), serverGoneError());
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

    const MediaTime interval = configuration_.minimumFrameInterval;
    const dispatch::Duration period = dispatch::seconds(
        interval.isValid() && interval.value > 0 ? interval.seconds() : kDefaultFrameSeconds);
    Image grabbed;
    StreamFrames frames(configuration_);
    dispatch::Duration next = context.clock().uptime();
    while (!context.stopRequested()) {
        if (!applyFilterChanges(capture))
            return;
        const GrabResult result = capture.grab(grabbed, configuration_.showsCursor);
        const dispatch::Duration now = context.clock().uptime();
        if (auto error = stopErrorOf(result)) {
            stopByItself(*error);
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

void X11CaptureStream::deliver(std::shared_ptr<const Image> frame, MediaTime time) {
    if (!frame)
        return;  // every image is still held by receivers: skip this frame
    ScreenSample sample{std::move(frame), time, true};
    // Handed to the queue under the lock so that nothing follows a stop or
    // the removal of the output.
    std::lock_guard lock(mutex_);
    if (!_capturing || !_handler)
        return;
    _queue.async([handler = _handler, sample] { handler(sample); });
}

}  // namespace ostrovane::platform::x11
