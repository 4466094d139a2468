#include "platform/sim/SimCaptureStream.h"

#include "platform/sim/SimScreen.h"

namespace ostrovane::platform::sim {

namespace {

constexpr const char* kDomain = "SCStreamErrorDomain";

Error streamError(std::int64_t code, std::string message) {
    return Error{kDomain, code, std::move(message)};
}

bool sameTarget(const ContentFilter& a, const ContentFilter& b) {
    if (a.target.index() != b.target.index())
        return false;
    if (auto* d = std::get_if<Display>(&a.target)) {
        return d->displayId == std::get<Display>(b.target).displayId;
    }
    return std::get<Window>(a.target).windowId == std::get<Window>(b.target).windowId;
}

}  // namespace

SimCaptureStream::SimCaptureStream(std::weak_ptr<SimScreen> screen,
                                   std::shared_ptr<PlatformThreads> threads, ContentFilter filter,
                                   StreamConfiguration configuration, StreamStopHandler onStop)
    : screen_(std::move(screen)),
      threads_(std::move(threads)),
      configuration_(configuration),
      onStop_(std::move(onStop)),
      _filter(std::move(filter)) {}

SimCaptureStream::~SimCaptureStream() {
    util::MutexLock lock(mutex_);
    haltLocked();
}

MaybeError SimCaptureStream::addAudioOutput(AudioSampleHandler handler, dispatch::QueueRef queue) {
    auto screen = screen_.lock();
    if (auto fault = screen ? screen->addOutputFault() : std::nullopt)
        return fault;
    util::MutexLock lock(mutex_);
    if (_audioHandler)
        return streamError(-3812, "An audio output was already added");
    _audioHandler = std::move(handler);
    _audioQueue = std::move(queue);
    return std::nullopt;
}

MaybeError SimCaptureStream::addScreenOutput(ScreenSampleHandler handler,
                                             dispatch::QueueRef queue) {
    auto screen = screen_.lock();
    if (auto fault = screen ? screen->addOutputFault() : std::nullopt)
        return fault;
    util::MutexLock lock(mutex_);
    if (_screenHandler)
        return streamError(-3812, "A screen output was already added");
    _screenHandler = std::move(handler);
    _screenQueue = std::move(queue);
    return std::nullopt;
}

MaybeError SimCaptureStream::removeOutput(StreamOutputType type) {
    util::MutexLock lock(mutex_);
    if (type == StreamOutputType::audio) {
        if (!_audioHandler)
            return streamError(-3812, "No audio output to remove");
        _audioHandler = nullptr;
        _audioQueue = {};
    } else {
        if (!_screenHandler)
            return streamError(-3812, "No screen output to remove");
        _screenHandler = nullptr;
        _screenQueue = {};
    }
    return std::nullopt;
}

void SimCaptureStream::startCapture(StreamCompletion completion) {
    auto screen = screen_.lock();
    if (!screen)
        return;
    SimOutcome outcome = screen->nextStartOutcome();
    if (outcome.kind == SimOutcome::Kind::succeed && !screen->targetExists(filter())) {
        outcome = SimOutcome::fail(
            streamError(kStreamDisplayUnavailableCode, "The capture target is not available"));
    }
    {
        util::MutexLock lock(mutex_);
        if (outcome.kind == SimOutcome::Kind::never) {
            _unanswered.push_back(std::move(completion));
            return;
        }
        if (outcome.kind == SimOutcome::Kind::succeed) {
            if (_capturing) {
                outcome = SimOutcome::fail(streamError(-3807, "The stream is already running"));
            } else {
                beginLocked();
            }
        }
    }
    MaybeError result;
    if (outcome.kind == SimOutcome::Kind::fail)
        result = outcome.error;
    screen->answerStart([completion = std::move(completion), result] { completion(result); });
}

void SimCaptureStream::stopCapture(StreamCompletion completion) {
    MaybeError result;
    {
        util::MutexLock lock(mutex_);
        if (_capturing) {
            haltLocked();
        } else {
            result = streamError(kStreamNotRunningCode, "The stream is not running");
        }
    }
    threads_->service.async([completion = std::move(completion), result] { completion(result); });
}

void SimCaptureStream::updateContentFilter(const ContentFilter& filter,
                                           StreamCompletion completion) {
    auto screen = screen_.lock();
    if (!screen)
        return;
    SimOutcome outcome = screen->updateOutcome();
    if (outcome.kind == SimOutcome::Kind::succeed && !screen->targetExists(filter)) {
        outcome = SimOutcome::fail(
            streamError(kStreamDisplayUnavailableCode, "The capture target is not available"));
    }
    {
        util::MutexLock lock(mutex_);
        if (outcome.kind == SimOutcome::Kind::never) {
            _unanswered.push_back(std::move(completion));
            return;
        }
        if (outcome.kind == SimOutcome::Kind::succeed) {
            _filter = filter;
            _cadence.restart();
            _image = std::make_shared<const Image>(
                syntheticImage(_filter, configuration_.width, configuration_.height));
        }
    }
    MaybeError result;
    if (outcome.kind == SimOutcome::Kind::fail)
        result = outcome.error;
    threads_->service.async([completion = std::move(completion), result] { completion(result); });
}

void SimCaptureStream::failWith(std::int64_t code, const std::string& message) {
    {
        util::MutexLock lock(mutex_);
        if (!_capturing)
            return;
        haltLocked();
    }
    if (!onStop_)
        return;
    threads_->service.async(
        [onStop = onStop_, error = StreamStopError{streamError(code, message)}] { onStop(error); });
}

bool SimCaptureStream::isCapturing() const {
    util::MutexLock lock(mutex_);
    return _capturing;
}

ContentFilter SimCaptureStream::filter() const {
    util::MutexLock lock(mutex_);
    return _filter;
}

bool SimCaptureStream::shows(const ContentFilter& filter) const {
    util::MutexLock lock(mutex_);
    return sameTarget(_filter, filter);
}

void SimCaptureStream::beginLocked() {
    _capturing = true;
    _audioSlot = 0;
    _cadence = FrameCadence{};
    _image = std::make_shared<const Image>(
        syntheticImage(_filter, configuration_.width, configuration_.height));
    const auto weak = weak_from_this();
    const MediaTime interval = configuration_.minimumFrameInterval;
    const double frameSeconds =
        interval.isValid() && interval.value > 0 ? interval.seconds() : 1.0 / 60.0;
    _screenTimer = std::make_unique<dispatch::RepeatingTimer>(
        threads_->capture, dispatch::seconds(frameSeconds), dispatch::Duration{0}, [weak] {
            if (auto self = weak.lock())
                self->deliverScreen();
        });
    _screenTimer->start();
    if (configuration_.capturesAudio && configuration_.sampleRate > 0) {
        auto screen = screen_.lock();
        const std::int64_t frames = screen ? screen->systemAudioFrames() : 960;
        _audioTimer = std::make_unique<dispatch::RepeatingTimer>(
            threads_->capture,
            dispatch::seconds(static_cast<double>(frames) /
                              static_cast<double>(configuration_.sampleRate)),
            dispatch::Duration{0}, [weak] {
                if (auto self = weak.lock())
                    self->deliverAudio();
            });
        _audioTimer->start();
    }
}

void SimCaptureStream::haltLocked() {
    _capturing = false;
    _screenTimer.reset();
    _audioTimer.reset();
}

void SimCaptureStream::deliverScreen() {
    auto screen = screen_.lock();
    const std::optional<std::uint64_t> revision = screen ? screen->pictureRevision() : std::nullopt;
    const dispatch::Duration now = threads_->clock.uptime();
    // Handed to the queue under the lock so that nothing follows a stop or a
    // removal of the output.
    util::MutexLock lock(mutex_);
    if (!_capturing || !_screenHandler)
        return;
    const bool changed = !revision || revision != _seenRevision;
    _seenRevision = revision;
    if (_cadence.atTick(now, changed) == FrameCadence::Step::wait)
        return;
    ScreenSample sample{_image, MediaTime{now.count(), 1'000'000'000}, true};
    _screenQueue.async([handler = _screenHandler, sample] { handler(sample); });
}

BufferSlot SimCaptureStream::audioSlot(const SimScreen& screen) const {
    BufferSlot slot;
    slot.layout = StreamDescription{static_cast<double>(configuration_.sampleRate),
                                    static_cast<std::uint32_t>(configuration_.channelCount),
                                    32,
                                    true,
                                    false,
                                    true,
                                    true,
                                    true};
    slot.frames = screen.systemAudioFrames();
    return slot;
}

void SimCaptureStream::deliverAudio() {
    auto screen = screen_.lock();
    if (!screen)
        return;
    const SampleGenerator generate = screen->systemAudio();
    BufferSlot slot = audioSlot(*screen);
    {
        util::MutexLock lock(mutex_);
        if (!_capturing)
            return;
        slot.index = _audioSlot++;
    }
    slot.presentationTime =
        MediaTime{slot.index * slot.frames, static_cast<std::int32_t>(configuration_.sampleRate)};
    auto buffer = generate ? generate(slot) : nullptr;
    if (!buffer)
        return;
    util::MutexLock lock(mutex_);
    if (!_capturing || !_audioHandler)
        return;
    _audioQueue.async([handler = _audioHandler, buffer] { handler(buffer); });
}

void SimCaptureStream::deliverLateCallbacks(std::int64_t code, const std::string& message) {
    auto screen = screen_.lock();
    if (!screen)
        return;
    if (onStop_) {
        threads_->service.async([onStop = onStop_, error = StreamStopError{streamError(
                                                       code, message)}] { onStop(error); });
    }
    const SampleGenerator generate = screen->systemAudio();
    auto buffer = generate ? generate(audioSlot(*screen)) : nullptr;
    util::MutexLock lock(mutex_);
    if (buffer && _audioHandler)
        _audioQueue.async([handler = _audioHandler, buffer] { handler(buffer); });
}

dispatch::QueueRef SimCaptureStream::audioQueue() const {
    util::MutexLock lock(mutex_);
    return _audioQueue;
}

}  // namespace ostrovane::platform::sim
