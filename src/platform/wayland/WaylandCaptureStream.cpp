#include "platform/wayland/WaylandCaptureStream.h"

#include <algorithm>

#include "platform/image/ChangedFrames.h"
#include "platform/image/ImageView.h"
#include "platform/pipewire/PipeWireVideoStream.h"
#include "platform/portal/PortalScreenCast.h"
#include "platform/screens/FrameCadence.h"
#include "platform/wayland/OutputCopy.h"
#include "platform/wayland/ToplevelWindows.h"
#include "platform/wayland/WaylandErrors.h"

namespace ostrovane::platform::wayland {

namespace {
// How often the stream looks whether its display still exists.
constexpr dispatch::Duration kOutputCheckInterval = std::chrono::seconds(1);
// A stream that sends no image this long after its start is not working.
constexpr dispatch::Duration kFirstImageLimit = std::chrono::seconds(5);
// How long a failed stream waits for what tells why it failed.
constexpr dispatch::Duration kCauseWait = std::chrono::milliseconds(500);

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
    WaylandOutput output;  // id 0 for a window
    std::unique_ptr<portal::PortalSession> session;
    std::unique_ptr<pipewire::PipeWireVideoStream> video;  // last: gone before its session
};

WaylandCaptureStream::WaylandCaptureStream(CastServices services,
                                           std::optional<WaylandOutput> output,
                                           StreamConfiguration configuration,
                                           StreamStopHandler onStop)
    : ThreadedCaptureStream(
          services.clock, services.events, configuration, std::move(onStop),
          {kErrorDomain, "Audio is captured from the sound server, not the compositor"}),
      services_(std::move(services)),
      _output(std::move(output)) {
    if (!_output)
        _refusal = targetUnavailableError();
}

WaylandCaptureStream::~WaylandCaptureStream() {
    halt();
    std::unique_ptr<portal::PortalSession> granted;
    {
        util::MutexLock lock(mutex_);
        granted = std::move(_granted);
    }
}

MaybeError WaylandCaptureStream::filterWhileStoppedLocked(const ContentFilter&) {
    return waylandError(kStreamNotRunningCode, "The stream is not running");
}

Result<std::unique_ptr<portal::PortalSession>> WaylandCaptureStream::grant(
    const GrantTarget& target) {
    return services_.grants->request(target, configuration().showsCursor,
                                     [this](const Error& error) { noteSessionEnd(error); });
}

GrantTarget WaylandCaptureStream::grantTargetOf(const Target& target) {
    if (!target.window)
        return GrantTarget::display(target.output);
    return target.window->id == kChosenWindowId ? GrantTarget::chosenWindow()
                                                : GrantTarget::window(*target.window);
}

GrantTarget WaylandCaptureStream::targetLocked() const {
    return grantTargetOf({_output.value_or(WaylandOutput{}), _window});
}

void WaylandCaptureStream::filmWindow(WaylandToplevel toplevel) {
    util::MutexLock lock(mutex_);
    _window = std::move(toplevel);
    _output.reset();
    _refusal.reset();
}

void WaylandCaptureStream::requestGrant() {
    GrantTarget target;
    {
        util::MutexLock lock(mutex_);
        if (_refusal || _granted)
            return;
        target = targetLocked();
    }
    auto session = grant(target);
    util::MutexLock lock(mutex_);
    if (session)
        _granted = std::move(session.value());
    else
        _refusal = session.error();
}

std::optional<Image> WaylandCaptureStream::latestImageOf(std::uint32_t outputId) const {
    util::MutexLock lock(grabMutex_);
    if (_grabbedOutput != outputId || _grabbed.empty())
        return std::nullopt;
    return _grabbed;
}

void WaylandCaptureStream::refuse(Error error) {
    util::MutexLock lock(mutex_);
    _refusal = std::move(error);
}

void WaylandCaptureStream::noteFailure(const Error& error) {
    util::MutexLock lock(mutex_);
    if (!_failure)
        _failure = error;
}

void WaylandCaptureStream::noteSessionEnd(const Error& error) {
    util::MutexLock lock(mutex_);
    if (!_sessionEnd)
        _sessionEnd = error;
}

Result<std::unique_ptr<WaylandCaptureStream::Cast>> WaylandCaptureStream::open(
    std::unique_ptr<portal::PortalSession> session, const WaylandOutput& output) {
    pipewire::PipeWireVideoStream::Options options;
    options.remoteFd = session->pipeWireFd();
    options.nodeId = session->stream().nodeId;
    options.timeout = services_.timeout;
    options.drawCursor =
        configuration().showsCursor && session->cursorMode() == portal::CursorMode::metadata;
    options.onFailure = [this](const Error& error) { noteFailure(error); };
    options.log = services_.log;
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
    for (auto& change : takeFilterChanges()) {
        Result<Target> target =
            lookup_ ? lookup_(change.filter) : Result<Target>(targetUnavailableError());
        if (!target) {
            complete(std::move(change.completion), target.error());
            continue;
        }
        bool same = false;
        {
            util::MutexLock lock(mutex_);
            same = target->window ? _window && _window->id == target->window->id
                                  : !_window && target->output.id == cast->output.id;
        }
        if (same) {
            complete(std::move(change.completion), std::nullopt);
            continue;
        }
        // The old session keeps running until the new target is granted.
        auto session = grant(grantTargetOf(target.value()));
        if (!session) {
            complete(std::move(change.completion), session.error());
            continue;
        }
        auto next = open(std::move(session.value()), target->output);
        if (!next) {
            complete(std::move(change.completion), next.error());
            continue;
        }
        cast = std::move(next.value());
        switched = true;
        {
            util::MutexLock lock(mutex_);
            _window = target->window;
            _output = target->window ? std::nullopt : std::optional(target->output);
        }
        complete(std::move(change.completion), std::nullopt);
    }
    return switched;
}

void WaylandCaptureStream::run(dispatch::BackgroundTask::Context& context,
                               StreamCompletion started) {
    // A stopped stream's last image is no screenshot of the display, but
    // the display as last seen, for its thumbnails.
    struct ForgetGrab {
        WaylandCaptureStream& stream;
        ~ForgetGrab() {
            util::MutexLock lock(stream.grabMutex_);
            if (stream._grabbedOutput && !stream._grabbed.empty() && stream.services_.lastImage)
                stream.services_.lastImage(*stream._grabbedOutput, stream._grabbed);
            stream._grabbedOutput.reset();
        }
    } forgetGrab{*this};
    auto outputs = WaylandOutputs::connect(services_.displayName, services_.timeout);
    if (!outputs) {
        failStart(std::move(started), compositorGoneError());
        return;
    }
    std::unique_ptr<portal::PortalSession> session;
    WaylandOutput output;  // none (id 0) for a window
    GrantTarget target;
    {
        util::MutexLock lock(mutex_);
        session = std::move(_granted);
        output = _output.value_or(WaylandOutput{});
        target = targetLocked();
        _failure.reset();
        _sessionEnd.reset();
    }
    if (!session) {
        // A stream started again after a stop asks anew.
        auto granted = grant(target);
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
    OutputCopy copier(*outputs);
    const bool seeded = seedFromCopy(copier, *cast);
    complete(std::move(started), std::nullopt);

    const dispatch::Duration period = framePeriod();
    std::shared_ptr<const Image> last;
    bool unscaled = seeded;  // _grabbed holds an image not yet made a frame
    ChangedFrames frames(configuration());
    // What changed in _grabbed since the last frame was made of it.
    PictureChange change;
    FrameCadence cadence;
    dispatch::Duration next = context.clock().uptime();
    dispatch::Duration nextCheck = next + kOutputCheckInterval;
    // Until the first image, when the stream counts as silent.
    dispatch::Duration imageDue = next + kFirstImageLimit;
    bool awaitingImage = !seeded;
    std::optional<dispatch::Duration> causeDue;
    while (!context.stopRequested()) {
        const dispatch::Duration now = context.clock().uptime();
        if (std::optional<Error> end = endOf(*outputs, now, causeDue)) {
            stopByItself(*end);
            return;
        }
        if (applyFilterChanges(cast)) {
            // Nothing of the old target is shown once the switch answered.
            last.reset();
            {
                util::MutexLock lock(grabMutex_);
                _grabbedOutput.reset();
            }
            unscaled = seedFromCopy(copier, *cast);
            change = PictureChange{};
            cadence.restart();
            imageDue = now + kFirstImageLimit;
            awaitingImage = !unscaled;
        }
        if (now >= nextCheck) {
            nextCheck = now + kOutputCheckInterval;
            auto present = outputs->read();
            if (!present) {
                stopByItself(compositorGoneError());
                return;
            }
            if (cast->output.id != 0 && findOutput(*present, cast->output.id) == nullptr) {
                stopByItself(displayRemovedError());
                return;
            }
        }
        bool grabbed = false;
        {
            util::MutexLock lock(grabMutex_);
            PictureChange taken;
            if (cast->video->takeLatest(_grabbed, taken)) {
                _grabbedOutput = cast->output.id;
                grabbed = true;
                change.add(taken);
            }
        }
        if (grabbed) {
            awaitingImage = false;
        } else if (awaitingImage && now >= imageDue) {
            const Error silent = silentError();
            services_.log("WaylandScreenCapture: " + silent.message + ": the capture stops");
            stopByItself(silent);
            return;
        }
        // Only this thread writes the image: it is read here without the lock.
        // An image that found every pooled frame still held by the encoder
        // is scaled at a later tick: a screen that has gone still sends no
        // other, and its last picture would never be shown.
        unscaled = unscaled || grabbed;
        switch (cadence.atTick(now, unscaled)) {
            case FrameCadence::Step::capture:
                if (auto frame =
                        unscaled ? frames.update(ImageView::of(grabbedOnCaptureThread()), change)
                                 : nullptr) {
                    last = std::move(frame);
                    unscaled = false;
                    change = PictureChange::nothing();
                    deliver(last, MediaTime{now.count(), 1'000'000'000});
                } else {
                    cadence.missed();
                }
                break;
            case FrameCadence::Step::repeat:
                if (last)
                    deliver(last, MediaTime{now.count(), 1'000'000'000});
                break;
            case FrameCadence::Step::wait:
                break;
        }
        next = std::max(next + period, now);
        if (!context.clock().sleepUntil(next, context.stopToken()))
            return;
    }
}

bool WaylandCaptureStream::seedFromCopy(OutputCopy& copier, const Cast& cast) {
    // A window, or a compositor whose casts send their first image at once.
    if (cast.output.id == 0 || !copier.offered())
        return false;
    auto image = copier.copy(cast.output.id, configuration().showsCursor, services_.timeout);
    if (!image) {
        services_.log("WaylandScreenCapture: " + image.error().message);
        return false;
    }
    util::MutexLock lock(grabMutex_);
    _grabbed = std::move(image.value());
    _grabbedOutput = cast.output.id;
    return true;
}

Error WaylandCaptureStream::silentError() const {
    return waylandError(kNoNewImageCode,
                        "The desktop sent no image within " +
                            std::to_string(kFirstImageLimit / std::chrono::seconds(1)) +
                            " s of the start");
}

std::optional<Error> WaylandCaptureStream::endOf(WaylandOutputs& outputs, dispatch::Duration now,
                                                 std::optional<dispatch::Duration>& causeDue) {
    std::optional<Error> failure;
    std::optional<Error> sessionEnd;
    {
        util::MutexLock lock(mutex_);
        failure = _failure;
        sessionEnd = _sessionEnd;
    }
    if (!failure && !sessionEnd)
        return std::nullopt;
    // The stream's node goes first when the user stops sharing or the
    // compositor goes away, and the portal's Closed or the lost connection
    // follows: the cause is chosen once either came, or after a while.
    if (!outputs.read())
        return compositorGoneError();
    if (sessionEnd)
        return sessionEnd;
    if (!causeDue)
        causeDue = now + kCauseWait;
    if (now >= *causeDue)
        return failure;
    return std::nullopt;
}

}  // namespace ostrovane::platform::wayland
