#include "platform/wayland/WaylandCaptureStream.h"

#include <algorithm>

#include "platform/image/StreamFrames.h"
#include "platform/pipewire/PipeWireVideoStream.h"
#include "platform/portal/PortalScreenCast.h"
#include "platform/wayland/WaylandErrors.h"

namespace ostrovane::platform::wayland {

namespace {
constexpr double kDefaultFrameSeconds = 1.0 / 60.0;
// How often the stream looks whether its display still exists.
constexpr dispatch::Duration kOutputCheckInterval = std::chrono::seconds(1);

Error displayRemovedError() {
    return waylandError(kStreamDisplayUnavailableCode, "The captured display was removed");
}

const WaylandOutput* findOutput(const std::vector<WaylandOutput>& outputs, std::uint32_t id) {
    auto it = std::find_if(outputs.begin(), outputs.end(),
                           [&](const WaylandOutput& o) { return o.id == id; });
    return it == outputs.end() ? nullptr : &*it;
}
}  // namespace

struct WaylandCaptureStream::Cast {
    WaylandOutput output;
    std::unique_ptr<portal::PortalSession> session;
    std::unique_ptr<pipewire::PipeWireVideoStream> video;  // last: gone before its session
};

WaylandCaptureStream::WaylandCaptureStream(CastServices services,
                                           std::optional<WaylandOutput> output,
                                           StreamConfiguration configuration,
                                           StreamStopHandler onStop)
    : services_(std::move(services)),
      configuration_(configuration),
      onStop_(std::move(onStop)),
      _output(std::move(output)) {
    if (!_output)
        _refusal = targetUnavailableError();
}

WaylandCaptureStream::~WaylandCaptureStream() {
    halt();
    std::unique_ptr<portal::PortalSession> granted;
    {
        std::lock_guard lock(mutex_);
        granted = std::move(_granted);
    }
}

Result<std::unique_ptr<portal::PortalSession>> WaylandCaptureStream::grant(
    const WaylandOutput& output) {
    return services_.grants->request(output, configuration_.showsCursor,
                                     [this](const Error& error) { noteFailure(error); });
}

void WaylandCaptureStream::requestGrant() {
    std::optional<WaylandOutput> output;
    {
        std::lock_guard lock(mutex_);
        if (_refusal || _granted)
            return;
        output = _output;
    }
    auto session = grant(*output);
    std::lock_guard lock(mutex_);
    if (session)
        _granted = std::move(session.value());
    else
        _refusal = session.error();
}

void WaylandCaptureStream::noteFailure(const Error& error) {
    std::lock_guard lock(mutex_);
    if (!_failure)
        _failure = error;
}

MaybeError WaylandCaptureStream::addAudioOutput(AudioSampleHandler, dispatch::QueueRef) {
    return waylandError(kOutputCode, "Audio is captured from the sound server, not the compositor");
}

MaybeError WaylandCaptureStream::addScreenOutput(ScreenSampleHandler handler,
                                                 dispatch::QueueRef queue) {
    std::lock_guard lock(mutex_);
    if (_refusal)
        return _refusal;
    if (_handler)
        return waylandError(kOutputCode, "A screen output was already added");
    _handler = std::move(handler);
    _queue = std::move(queue);
    return std::nullopt;
}

MaybeError WaylandCaptureStream::removeOutput(StreamOutputType type) {
    std::lock_guard lock(mutex_);
    if (type != StreamOutputType::screen || !_handler)
        return waylandError(kOutputCode, "No such output to remove");
    _handler = nullptr;
    _queue = {};
    return std::nullopt;
}

void WaylandCaptureStream::startCapture(StreamCompletion completion) {
    std::unique_ptr<dispatch::BackgroundTask> finished;
    {
        std::lock_guard lock(mutex_);
        if (_refusal) {
            complete(std::move(completion), _refusal);
            return;
        }
        if (_capturing) {
            complete(std::move(completion),
                     waylandError(kAlreadyRunningCode, "The stream is already running"));
            return;
        }
        finished = std::move(_grabber);
        _capturing = true;
        _failure.reset();
        _grabber = std::make_unique<dispatch::BackgroundTask>(
            services_.clock, "wayland.capture",
            [this, completion = std::move(completion)](dispatch::BackgroundTask::Context& context) {
                run(context, completion);
            });
    }
    finished.reset();
}

void WaylandCaptureStream::stopCapture(StreamCompletion completion) {
    const bool wasCapturing = halt();
    complete(std::move(completion),
             wasCapturing ? MaybeError{}
                          : MaybeError{waylandError(kNotRunningCode, "The stream is not running")});
}

bool WaylandCaptureStream::halt() {
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
    grabber.reset();  // joins: the session and the PipeWire stream end with the thread
    for (auto& change : unanswered)
        complete(std::move(change.completion),
                 waylandError(kNotRunningCode, "The stream stopped before the switch"));
    return wasCapturing;
}

void WaylandCaptureStream::updateContentFilter(const ContentFilter& filter,
                                               StreamCompletion completion) {
    {
        std::lock_guard lock(mutex_);
        if (_capturing) {
            // The capturing thread asks the portal and answers when it knows.
            _filterChanges.push_back(FilterChange{filter, std::move(completion)});
            return;
        }
    }
    complete(std::move(completion), waylandError(kNotRunningCode, "The stream is not running"));
}

void WaylandCaptureStream::complete(StreamCompletion completion, MaybeError error) {
    if (completion)
        services_.events->async([completion = std::move(completion), error] { completion(error); });
}

void WaylandCaptureStream::stopByItself(const Error& error) {
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
        services_.events->async(
            [onStop = onStop_, stop = StreamStopError{error}] { onStop(stop); });
}

void WaylandCaptureStream::failStart(StreamCompletion started, const Error& error) {
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

Result<std::unique_ptr<WaylandCaptureStream::Cast>> WaylandCaptureStream::open(
    std::unique_ptr<portal::PortalSession> session, const WaylandOutput& output) {
    pipewire::PipeWireVideoStream::Options options;
    options.remoteFd = session->pipeWireFd();
    options.nodeId = session->stream().nodeId;
    options.timeout = services_.timeout;
    options.drawCursor =
        configuration_.showsCursor && session->cursorMode() == portal::CursorMode::metadata;
    options.onFailure = [this](const Error& error) { noteFailure(error); };
    auto video = pipewire::PipeWireVideoStream::connect(std::move(options));
    if (!video)
        return video.error();
    auto cast = std::make_unique<Cast>();
    cast->output = output;
    cast->session = std::move(session);
    cast->video = std::move(video.value());
    return cast;
}

bool WaylandCaptureStream::applyFilterChanges(std::unique_ptr<Cast>& cast) {
    bool switched = false;
    std::vector<FilterChange> changes;
    {
        std::lock_guard lock(mutex_);
        changes = std::move(_filterChanges);
        _filterChanges.clear();
    }
    for (auto& change : changes) {
        std::optional<WaylandOutput> output = lookup_ ? lookup_(change.filter) : std::nullopt;
        if (!output) {
            complete(std::move(change.completion), targetUnavailableError());
            continue;
        }
        if (output->id == cast->output.id) {
            complete(std::move(change.completion), std::nullopt);
            continue;
        }
        // The old session keeps running until the new display is granted.
        auto session = grant(*output);
        if (!session) {
            complete(std::move(change.completion), session.error());
            continue;
        }
        auto next = open(std::move(session.value()), *output);
        if (!next) {
            complete(std::move(change.completion), next.error());
            continue;
        }
        cast = std::move(next.value());
        switched = true;
        {
            std::lock_guard lock(mutex_);
            _output = output;
        }
        complete(std::move(change.completion), std::nullopt);
    }
    return switched;
}

void WaylandCaptureStream::run(dispatch::BackgroundTask::Context& context,
                               StreamCompletion started) {
    auto outputs = WaylandOutputs::connect(services_.displayName, services_.timeout);
    if (!outputs) {
        failStart(std::move(started), compositorGoneError());
        return;
    }
    std::unique_ptr<portal::PortalSession> session;
    WaylandOutput output;
    {
        std::lock_guard lock(mutex_);
        session = std::move(_granted);
        output = *_output;
    }
    if (!session) {
        // A stream started again after a stop asks anew.
        auto granted = grant(output);
        if (!granted) {
            failStart(std::move(started), granted.error());
            return;
        }
        session = std::move(granted.value());
    }
    auto opened = open(std::move(session), output);
    if (!opened) {
        failStart(std::move(started), opened.error());
        return;
    }
    std::unique_ptr<Cast> cast = std::move(opened.value());
    complete(std::move(started), std::nullopt);

    const MediaTime interval = configuration_.minimumFrameInterval;
    const dispatch::Duration period = dispatch::seconds(
        interval.isValid() && interval.value > 0 ? interval.seconds() : kDefaultFrameSeconds);
    Image grabbed;
    std::shared_ptr<const Image> last;
    StreamFrames frames(configuration_);
    dispatch::Duration next = context.clock().uptime();
    dispatch::Duration nextCheck = next + kOutputCheckInterval;
    while (!context.stopRequested()) {
        std::optional<Error> failure;
        {
            std::lock_guard lock(mutex_);
            failure = _failure;
        }
        if (failure) {
            stopByItself(*failure);
            return;
        }
        if (applyFilterChanges(cast)) {
            // Nothing of the old display is shown once the switch answered.
            last.reset();
        }
        const dispatch::Duration now = context.clock().uptime();
        if (now >= nextCheck) {
            nextCheck = now + kOutputCheckInterval;
            auto present = outputs->read();
            if (!present) {
                stopByItself(compositorGoneError());
                return;
            }
            if (findOutput(*present, cast->output.id) == nullptr) {
                stopByItself(displayRemovedError());
                return;
            }
        }
        if (cast->video->takeLatest(grabbed)) {
            if (auto frame = frames.scale(grabbed))
                last = std::move(frame);
        }
        // A static screen sends nothing: its last image is shown again.
        if (last)
            deliver(last, MediaTime{now.count(), 1'000'000'000});
        next = std::max(next + period, now);
        if (!context.clock().sleepUntil(next, context.stopToken()))
            return;
    }
}

void WaylandCaptureStream::deliver(std::shared_ptr<const Image> frame, MediaTime time) {
    ScreenSample sample{std::move(frame), time, true};
    // Handed to the queue under the lock so that nothing follows a stop or
    // the removal of the output.
    std::lock_guard lock(mutex_);
    if (!_capturing || !_handler)
        return;
    _queue.async([handler = _handler, sample] { handler(sample); });
}

}  // namespace ostrovane::platform::wayland
