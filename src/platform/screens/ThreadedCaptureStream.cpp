#include "platform/screens/ThreadedCaptureStream.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform {

namespace {
// Codes shared by the display providers' streams.
constexpr std::int64_t kAlreadyRunningCode = -3807;
constexpr std::int64_t kOutputCode = -3812;
constexpr double kDefaultFrameSeconds = 1.0 / 60.0;
}  // namespace

ThreadedCaptureStream::ThreadedCaptureStream(dispatch::Clock& clock,
                                             std::shared_ptr<dispatch::SerialQueue> events,
                                             StreamConfiguration configuration,
                                             StreamStopHandler onStop, Texts texts)
    : events_(std::move(events)),
      clock_(clock),
      configuration_(configuration),
      onStop_(std::move(onStop)),
      texts_(std::move(texts)) {}

ThreadedCaptureStream::~ThreadedCaptureStream() {
    halt();
}

Error ThreadedCaptureStream::error(std::int64_t code, const char* message) const {
    return Error{texts_.domain, code, message};
}

dispatch::Duration ThreadedCaptureStream::framePeriod() const {
    const MediaTime interval = configuration_.minimumFrameInterval;
    return dispatch::seconds(interval.isValid() && interval.value > 0 ? interval.seconds()
                                                                      : kDefaultFrameSeconds);
}

MaybeError ThreadedCaptureStream::addAudioOutput(AudioSampleHandler, dispatch::QueueRef) {
    return Error{texts_.domain, kOutputCode, texts_.audioRefusal};
}

MaybeError ThreadedCaptureStream::addScreenOutput(ScreenSampleHandler handler,
                                                  dispatch::QueueRef queue) {
    util::MutexLock lock(mutex_);
    if (auto refusal = refusalLocked())
        return refusal;
    if (_handler)
        return error(kOutputCode, "A screen output was already added");
    _handler = std::move(handler);
    _queue = std::move(queue);
    return std::nullopt;
}

MaybeError ThreadedCaptureStream::removeOutput(StreamOutputType type) {
    util::MutexLock lock(mutex_);
    if (type != StreamOutputType::screen || !_handler)
        return error(kOutputCode, "No such output to remove");
    _handler = nullptr;
    _queue = {};
    return std::nullopt;
}

void ThreadedCaptureStream::startCapture(StreamCompletion completion) {
    std::unique_ptr<dispatch::BackgroundTask> finished;
    {
        util::MutexLock lock(mutex_);
        if (auto refusal = refusalLocked()) {
            complete(std::move(completion), refusal);
            return;
        }
        if (_capturing) {
            complete(std::move(completion),
                     error(kAlreadyRunningCode, "The stream is already running"));
            return;
        }
        finished = std::move(_grabber);  // a thread that ended by itself
        _capturing = true;
        _stoppedByItself = false;
        // Started under the lock so that a stop right after finds it; its body
        // takes the lock only after this returns.
        _grabber = std::make_unique<dispatch::BackgroundTask>(
            clock_, "screen.capture",
            [this, completion = std::move(completion)](dispatch::BackgroundTask::Context& context) {
                run(context, completion);
            });
    }
    finished.reset();
}

void ThreadedCaptureStream::stopCapture(StreamCompletion completion) {
    const bool wasCapturing = halt();
    bool stoppedByItself = false;
    {
        util::MutexLock lock(mutex_);
        stoppedByItself = _stoppedByItself;
    }
    complete(std::move(completion),
             wasCapturing || stoppedByItself
                 ? MaybeError{}
                 : MaybeError{error(kStreamNotRunningCode, "The stream is not running")});
}

bool ThreadedCaptureStream::halt() {
    std::unique_ptr<dispatch::BackgroundTask> grabber;
    std::vector<FilterChange> unanswered;
    bool wasCapturing = false;
    {
        util::MutexLock lock(mutex_);
        wasCapturing = _capturing;
        _capturing = false;
        grabber = std::move(_grabber);
        unanswered = std::move(_filterChanges);
        _filterChanges.clear();
    }
    grabber.reset();  // joins: nothing is handed out once this returns
    for (auto& change : unanswered) {
        complete(std::move(change.completion),
                 error(kStreamNotRunningCode, "The stream stopped before the switch"));
    }
    return wasCapturing;
}

void ThreadedCaptureStream::updateContentFilter(const ContentFilter& filter,
                                                StreamCompletion completion) {
    MaybeError outcome;
    {
        util::MutexLock lock(mutex_);
        if (_capturing) {
            // The capturing thread switches at its next frame and answers then.
            _filterChanges.push_back(FilterChange{filter, std::move(completion)});
            return;
        }
        outcome = _stoppedByItself ? error(kStreamNotRunningCode, "The stream is not running")
                                   : filterWhileStoppedLocked(filter);
    }
    complete(std::move(completion), std::move(outcome));
}

void ThreadedCaptureStream::complete(StreamCompletion completion, MaybeError error) {
    if (completion)
        events_->async([completion = std::move(completion), error] { completion(error); });
}

void ThreadedCaptureStream::stopByItself(const Error& error) {
    std::vector<FilterChange> unanswered;
    {
        util::MutexLock lock(mutex_);
        if (!_capturing)
            return;  // stopped meanwhile: the owner asked first
        _capturing = false;
        _stoppedByItself = true;
        unanswered = std::move(_filterChanges);
        _filterChanges.clear();
    }
    for (auto& change : unanswered)
        complete(std::move(change.completion), error);
    if (onStop_)
        events_->async([onStop = onStop_, stop = StreamStopError{error}] { onStop(stop); });
}

void ThreadedCaptureStream::failStart(StreamCompletion started, const Error& error) {
    std::vector<FilterChange> unanswered;
    {
        util::MutexLock lock(mutex_);
        _capturing = false;
        unanswered = std::move(_filterChanges);
        _filterChanges.clear();
    }
    complete(std::move(started), error);
    for (auto& change : unanswered)
        complete(std::move(change.completion), error);
}

std::vector<ThreadedCaptureStream::FilterChange> ThreadedCaptureStream::takeFilterChanges() {
    util::MutexLock lock(mutex_);
    std::vector<FilterChange> changes = std::move(_filterChanges);
    _filterChanges.clear();
    return changes;
}

void ThreadedCaptureStream::deliver(std::shared_ptr<const Image> frame, MediaTime time) {
    if (!frame)
        return;  // every image is still held by receivers: skip this frame
    ScreenSample sample{std::move(frame), time, true};
    // Handed to the queue under the lock so that nothing follows a stop or
    // the removal of the output.
    util::MutexLock lock(mutex_);
    if (!_capturing || !_handler)
        return;
    _queue.async([handler = _handler, sample] { handler(sample); });
}

}  // namespace ostrovane::platform
