#include "platform/linux/SystemAudioStream.h"

#include "platform/linux/RecordStream.h"

namespace ostrovane::platform::pulse {

namespace {

// Codes of the start and stop completions, as the capture service of the
// original platform numbers them.
constexpr std::int64_t kFailedToStartCode = -3802;
constexpr std::int64_t kAlreadyRunningCode = -3807;
constexpr std::int64_t kNotRunningCode = -3808;
constexpr std::int64_t kInvalidParameterCode = -3812;
constexpr std::int64_t kStoppedWhileStartingCode = -3817;

Error captureError(std::int64_t code, std::string message) {
    return Error{kCaptureErrorDomain, code, std::move(message)};
}

}  // namespace

// ---- AudioOutputGate ----

bool AudioOutputGate::set(AudioSampleHandler handler, dispatch::QueueRef queue) {
    std::lock_guard lock(mutex_);
    if (_handler)
        return false;
    _handler = std::move(handler);
    _queue = std::move(queue);
    return true;
}

bool AudioOutputGate::clear() {
    std::lock_guard lock(mutex_);
    if (!_handler)
        return false;
    _handler = nullptr;
    _queue = {};
    return true;
}

void AudioOutputGate::setOpen(bool open) {
    std::lock_guard lock(mutex_);
    _open = open;
}

void AudioOutputGate::deliver(const std::shared_ptr<const SampleBuffer>& buffer) {
    // Posted under the lock: once the gate is closed or the output removed,
    // nothing more is handed to the queue.
    std::lock_guard lock(mutex_);
    if (_open && _handler)
        _queue.async([handler = _handler, buffer] { handler(buffer); });
}

// ---- SystemAudioStream ----

std::shared_ptr<SystemAudioStream> SystemAudioStream::create(
    std::shared_ptr<PulseConnection> connection, StreamConfiguration configuration,
    StreamStopHandler onStop) {
    std::shared_ptr<SystemAudioStream> stream(
        new SystemAudioStream(connection, configuration, std::move(onStop)));
    connection->addObserver(stream);
    return stream;
}

SystemAudioStream::SystemAudioStream(std::shared_ptr<PulseConnection> connection,
                                     StreamConfiguration configuration, StreamStopHandler onStop)
    : connection_(std::move(connection)),
      configuration_(configuration),
      onStop_(std::move(onStop)) {}

SystemAudioStream::~SystemAudioStream() {
    gate_->setOpen(false);
}

MaybeError SystemAudioStream::addAudioOutput(AudioSampleHandler handler, dispatch::QueueRef queue) {
    if (!gate_->set(std::move(handler), std::move(queue)))
        return captureError(kInvalidParameterCode, "An audio output was already added");
    return std::nullopt;
}

MaybeError SystemAudioStream::addScreenOutput(ScreenSampleHandler, dispatch::QueueRef) {
    return captureError(kInvalidParameterCode, "The system-audio stream carries no images");
}

MaybeError SystemAudioStream::removeOutput(StreamOutputType type) {
    if (type != StreamOutputType::audio || !gate_->clear())
        return captureError(kInvalidParameterCode, "No such output to remove");
    return std::nullopt;
}

void SystemAudioStream::startCapture(StreamCompletion completion) {
    std::uint64_t generation = 0;
    bool running = false;
    {
        std::lock_guard lock(mutex_);
        running = _state != State::idle && _state != State::ended;
        if (!running) {
            _state = State::starting;
            _stopReported = false;
            generation = ++_generation;
        }
    }
    if (running) {
        complete(std::move(completion),
                 captureError(kAlreadyRunningCode, "The stream is already running"));
        return;
    }
    // Opening waits on the server: not on the caller's thread.
    connection_->work().async([weak = weak_from_this(), generation, completion]() mutable {
        auto self = weak.lock();
        if (!self) {
            completion(captureError(kStoppedWhileStartingCode, "The stream was released"));
            return;
        }
        self->complete(std::move(completion), self->open(generation));
    });
}

MaybeError SystemAudioStream::open(std::uint64_t generation) {
    PulseModel& model = connection_->model();
    const std::string sinkName = model.defaultSinkName();
    const std::uint64_t connection = connection_->connections();
    auto fail = [&](std::int64_t code, std::string message) -> MaybeError {
        std::lock_guard lock(mutex_);
        if (_generation == generation && _state == State::starting)
            _state = State::idle;
        return captureError(code, std::move(message));
    };
    if (!model.available())
        return fail(kFailedToStartCode,
                    "No sound server is reachable (" + connection_->unavailableReason() + ")");
    auto sink = model.sink(sinkName);
    if (!sink)
        return fail(kStreamDisplayUnavailableCode, "There is no audio output device to record");
    // Only a monitor will do: recording whatever the server falls back to
    // could mean recording a microphone as system audio.
    auto monitor = model.source(sink->monitorSource);
    if (!monitor || !monitor->isMonitor) {
        return fail(kStreamDisplayUnavailableCode,
                    "The audio output device " + sinkName + " has no monitor to record");
    }

    StreamDescription format;
    format.sampleRate = static_cast<double>(configuration_.sampleRate);
    format.channelsPerFrame = static_cast<std::uint32_t>(configuration_.channelCount);
    format.bitsPerChannel = 32;
    format.isFloat = true;

    auto failed = std::make_shared<std::atomic<bool>>(false);
    RecordEvents events;
    events.buffer = [gate = gate_](std::shared_ptr<const SampleBuffer> buffer) {
        gate->deliver(buffer);
    };
    events.failed = [weak = weak_from_this(), work = connection_->work(), generation,
                     failed](const Error& error) {
        failed->store(true);
        work.async([weak, generation, error] {
            if (auto self = weak.lock())
                self->recordingFailed(generation, error);
        });
    };
    RecordRequest request{monitor->name, format, "Ostrovane system audio",
                          std::chrono::milliseconds(10)};
    // Moved, not reopened, when the default sink changes: a new recording
    // may take seconds to deliver its first audio.
    request.movable = true;
    auto opened = RecordStream::open(connection_, std::move(request), std::move(events));
    if (!opened.ok())
        return fail(kFailedToStartCode, opened.error().localizedDescription());

    std::shared_ptr<RecordStream> record = std::move(opened).value();
    {
        std::lock_guard lock(mutex_);
        if (_generation != generation || (_state != State::starting && _state != State::reopening))
            return captureError(kStoppedWhileStartingCode, "The stream was stopped while starting");
        _record = record;
        _sink = sinkName;
        _failed = failed;
        _connection = connection;
        _state = State::capturing;
    }
    gate_->setOpen(true);
    // A failure between opening and here has already been posted; it finds
    // the stream capturing and ends it.
    return std::nullopt;
}

void SystemAudioStream::reopen(std::uint64_t generation) {
    MaybeError error = open(generation);
    if (!error)
        return;
    // A stop meanwhile is not a failure to report.
    std::int64_t code = error->code == kStreamDisplayUnavailableCode ? kStreamDisplayUnavailableCode
                                                                     : kStreamSystemStoppedCode;
    {
        std::lock_guard lock(mutex_);
        if (_generation != generation || _state != State::reopening)
            return;
        _state = State::ended;
    }
    report(generation, code,
           "The sound server restarted and the capture could not be set up again: " +
               error->localizedDescription());
}

bool SystemAudioStream::isAwaitingService() const {
    std::lock_guard lock(mutex_);
    return _state == State::awaitingServer || _state == State::reopening;
}

void SystemAudioStream::stopCapture(StreamCompletion completion) {
    std::shared_ptr<RecordStream> record;
    MaybeError result;
    {
        std::lock_guard lock(mutex_);
        if (_state == State::idle) {
            result = captureError(kNotRunningCode, "The stream is not running");
        } else if (_state == State::ended) {
            // We ended it ourselves and said why; the caller's stop is no new failure.
            _state = State::idle;
        } else {
            _state = State::idle;
            ++_generation;
            record = std::move(_record);
        }
    }
    gate_->setOpen(false);
    record.reset();  // outside our lock: closing takes the main loop lock
    complete(std::move(completion), std::move(result));
}

void SystemAudioStream::updateContentFilter(const ContentFilter&, StreamCompletion completion) {
    complete(std::move(completion), std::nullopt);
}

void SystemAudioStream::recordingFailed(std::uint64_t generation, const Error& error) {
    std::shared_ptr<RecordStream> record;
    std::string sink;
    const bool serverLost =
        error.domain == kPulseErrorDomain && error.code == PA_ERR_CONNECTIONTERMINATED;
    {
        std::lock_guard lock(mutex_);
        if (_generation != generation || _state != State::capturing)
            return;
        _state = serverLost ? State::awaitingServer : State::ended;
        record = std::move(_record);
        sink = _sink;
    }
    gate_->setOpen(false);
    record.reset();
    if (serverLost) {
        // The server may already be back by now.
        modelChanged(ModelChanges{});
        return;
    }
    // The model may not have heard of the sink's removal yet: ask the server.
    const std::optional<bool> sinkExists = connection_->sinkExists(sink);
    if (!sinkExists) {
        report(generation, kStreamSystemStoppedCode, "The sound server stopped the capture");
    } else if (*sinkExists) {
        report(generation, kStreamContentionCode,
               "Another application stopped the system audio capture");
    } else {
        report(generation, kStreamDisplayUnavailableCode,
               "The audio output device " + sink + " went away");
    }
}

void SystemAudioStream::modelChanged(const ModelChanges& changes) {
    // Read before our lock: the model has a lock of its own.
    PulseModel& model = connection_->model();
    const bool available = model.available();
    const std::uint64_t connections = connection_->connections();
    const std::string defaultSink = model.defaultSinkName();
    std::uint64_t generation = 0;
    bool reopening = false;
    bool following = false;
    {
        std::lock_guard lock(mutex_);
        generation = _generation;
        if (_state == State::awaitingServer && available && connections > _connection) {
            _state = State::reopening;
            reopening = true;
        } else if (changes.defaultOutput && available && _state == State::capturing &&
                   !(_failed && _failed->load())) {
            // A lost server is the recording's failure to handle, not a change
            // of the default output.
            following = defaultSink != _sink;
        }
    }
    if (!reopening && !following)
        return;
    // Both wait on the server: on the work queue, in the order they came.
    connection_->work().async([weak = weak_from_this(), generation, reopening] {
        auto self = weak.lock();
        if (!self)
            return;
        if (reopening)
            self->reopen(generation);
        else
            self->follow(generation);
    });
}

void SystemAudioStream::follow(std::uint64_t generation) {
    PulseModel& model = connection_->model();
    if (!model.available())
        return;  // the recording fails with the connection and waits for it
    const std::string target = model.defaultSinkName();
    std::shared_ptr<RecordStream> record;
    {
        std::lock_guard lock(mutex_);
        if (_generation != generation || _state != State::capturing || target == _sink ||
            (_failed && _failed->load()))
            return;
        record = _record;
    }
    if (target.empty()) {
        end(generation, kStreamSystemStoppedCode,
            "There is no default audio output device any more");
        return;
    }
    // The server checks the monitor; the model may not list it yet.
    auto sink = model.sink(target);
    MaybeError moved;
    if (!sink || sink->monitorSource.empty()) {
        moved = captureError(kStreamDisplayUnavailableCode,
                             "The audio output device " + target + " has no monitor to record");
    } else {
        moved = record->moveTo(sink->monitorSource);
    }
    if (moved) {
        end(generation, kStreamSystemStoppedCode,
            "The capture could not follow the default audio output device to " + target + ": " +
                moved->localizedDescription());
        return;
    }
    std::lock_guard lock(mutex_);
    if (_generation == generation && _state == State::capturing)
        _sink = target;
}

void SystemAudioStream::end(std::uint64_t generation, std::int64_t code,
                            const std::string& message) {
    std::shared_ptr<RecordStream> record;
    {
        std::lock_guard lock(mutex_);
        // A recording that failed meanwhile is ended by its own report.
        if (_generation != generation || _state != State::capturing || (_failed && _failed->load()))
            return;
        _state = State::ended;
        record = std::move(_record);
    }
    gate_->setOpen(false);
    record.reset();
    report(generation, code, message);
}

void SystemAudioStream::report(std::uint64_t generation, std::int64_t code,
                               const std::string& message) {
    {
        std::lock_guard lock(mutex_);
        if (_generation != generation || _stopReported)
            return;
        _stopReported = true;
    }
    if (onStop_) {
        connection_->events().async([onStop = onStop_, error = StreamStopError{captureError(
                                                           code, message)}] { onStop(error); });
    }
}

void SystemAudioStream::complete(StreamCompletion completion, MaybeError error) const {
    if (!completion)
        return;
    connection_->events().async(
        [completion = std::move(completion), error = std::move(error)] { completion(error); });
}

}  // namespace ostrovane::platform::pulse
