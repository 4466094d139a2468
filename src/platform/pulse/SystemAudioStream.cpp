#include "platform/pulse/SystemAudioStream.h"

#include "platform/pulse/RecordStream.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pulse {

namespace {

// Codes of the start and stop completions, as the capture service of the
// original platform numbers them.
constexpr std::int64_t kFailedToStartCode = -3802;
constexpr std::int64_t kAlreadyRunningCode = -3807;
constexpr std::int64_t kInvalidParameterCode = -3812;
constexpr std::int64_t kStoppedWhileStartingCode = -3817;

Error captureError(std::int64_t code, std::string message) {
    return Error{kCaptureErrorDomain, code, std::move(message)};
}

}  // namespace

// ---- AudioOutputGate ----

bool AudioOutputGate::set(AudioSampleHandler handler, dispatch::QueueRef queue) {
    return slot_.fill(std::move(handler), std::move(queue));
}

bool AudioOutputGate::clear() {
    if (!slot_.clear())
        return false;
    gate_.waitForPassing();
    return true;
}

void AudioOutputGate::setOpen(bool open) {
    if (open)
        gate_.open();
    else
        gate_.close();
}

void AudioOutputGate::deliver(const std::shared_ptr<const SampleBuffer>& buffer) {
    gate_.pass([&] { slot_.deliver(buffer); });
}

// ---- SystemAudioStream ----

std::shared_ptr<SystemAudioStream> SystemAudioStream::create(
    std::shared_ptr<PulseConnection> connection, StreamConfiguration configuration,
    StreamStopHandler onStop) {
    auto stream =
        std::make_shared<SystemAudioStream>(Key{}, connection, configuration, std::move(onStop));
    connection->addObserver(stream);
    return stream;
}

SystemAudioStream::SystemAudioStream(Key, std::shared_ptr<PulseConnection> connection,
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
        util::MutexLock lock(mutex_);
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
        util::MutexLock lock(mutex_);
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
        util::MutexLock lock(mutex_);
        if (_generation != generation || (_state != State::starting && _state != State::reopening))
            return captureError(kStoppedWhileStartingCode, "The stream was stopped while starting");
        _record = record;
        _sink = sinkName;
        _failed = failed;
        _connection = connection;
        _state = State::capturing;
        _waiting = false;
        _waitOver = false;
    }
    gate_->setOpen(true);
    // A failure between opening and here has already been posted; it finds
    // the stream capturing and ends it.
    return std::nullopt;
}

std::optional<SystemAudioStream::Output> SystemAudioStream::defaultOutput() const {
    PulseModel& model = connection_->model();
    if (!model.available())
        return std::nullopt;
    // PipeWire names "@DEFAULT_SINK@" while its session manager has not
    // chosen a default: no sink of the model, so no output yet.
    auto sink = model.sink(model.defaultSinkName());
    if (!sink)
        return std::nullopt;
    auto monitor = model.source(sink->monitorSource);
    if (!monitor || !monitor->isMonitor)
        return std::nullopt;
    return Output{sink->name, monitor->name};
}

void SystemAudioStream::reopen(std::uint64_t generation) {
    MaybeError error = open(generation);
    if (!error)
        return;
    const bool serverGone = !connection_->model().available();
    const bool noOutput = error->code == kStreamDisplayUnavailableCode;
    std::optional<std::uint64_t> wait;
    bool ended = false;
    {
        util::MutexLock lock(mutex_);
        // A stop meanwhile is not a failure to report.
        if (_generation != generation || _state != State::reopening)
            return;
        if (serverGone) {
            _state = State::awaitingServer;
            return;
        }
        if (noOutput && !_waitOver) {
            // The output went away again under the open: wait for the next.
            _state = State::awaitingOutput;
            wait = beginWaitLocked();
        } else {
            _state = State::ended;
            ended = true;
        }
    }
    if (ended) {
        report(generation, noOutput ? kStreamDisplayUnavailableCode : kStreamSystemStoppedCode,
               "The system audio could not be recorded again: " + error->localizedDescription());
        return;
    }
    if (wait)
        armWait(generation, *wait);
    modelChanged(ModelChanges{});
}

std::optional<std::uint64_t> SystemAudioStream::beginWaitLocked() {
    if (std::exchange(_waiting, true))
        return std::nullopt;
    _waitOver = false;
    return ++_wait;
}

void SystemAudioStream::armWait(std::uint64_t generation, std::uint64_t wait) {
    connection_->afterOnEvents(kDeviceSettleTime, [weak = weak_from_this(), generation, wait] {
        if (auto self = weak.lock())
            self->outputWaitOver(generation, wait);
    });
}

void SystemAudioStream::outputWaitOver(std::uint64_t generation, std::uint64_t wait) {
    {
        util::MutexLock lock(mutex_);
        if (_generation != generation || _wait != wait || !_waiting)
            return;
        // A recording being set up right now decides by itself.
        _waitOver = true;
        if (_state != State::awaitingOutput)
            return;
        _state = State::ended;
    }
    report(generation, kStreamDisplayUnavailableCode, "There is no audio output device to record");
}

bool SystemAudioStream::isAwaitingService() const {
    util::MutexLock lock(mutex_);
    return _state == State::awaitingServer || _state == State::awaitingOutput ||
           _state == State::reopening;
}

void SystemAudioStream::stopCapture(StreamCompletion completion) {
    std::shared_ptr<RecordStream> record;
    MaybeError result;
    {
        util::MutexLock lock(mutex_);
        if (_state == State::idle) {
            result = captureError(kStreamNotRunningCode, "The stream is not running");
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
        util::MutexLock lock(mutex_);
        if (_generation != generation || _state != State::capturing)
            return;
        _state = serverLost ? State::awaitingServer : State::reopening;
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
    std::optional<std::uint64_t> wait;
    {
        util::MutexLock lock(mutex_);
        if (_generation != generation || _state != State::reopening)
            return;
        if (sinkExists && !*sinkExists) {
            // The output went away (unplugged headphones): the recording
            // carries on with the output the server picks next.
            _state = State::awaitingOutput;
            wait = beginWaitLocked();
        } else {
            _state = State::ended;
        }
    }
    if (!sinkExists) {
        report(generation, kStreamSystemStoppedCode, "The sound server stopped the capture");
    } else if (*sinkExists) {
        report(generation, kStreamContentionCode,
               "Another application stopped the system audio capture");
    } else {
        if (wait)
            armWait(generation, *wait);
        modelChanged(ModelChanges{});
    }
}

void SystemAudioStream::modelChanged(const ModelChanges&) {
    // Read before our lock: the model has a lock of its own.
    const bool available = connection_->model().available();
    const std::uint64_t connections = connection_->connections();
    const std::optional<Output> output = defaultOutput();
    std::uint64_t generation = 0;
    std::optional<std::uint64_t> wait;
    bool reopening = false;
    bool following = false;
    {
        util::MutexLock lock(mutex_);
        generation = _generation;
        if (_state == State::awaitingServer && available && connections > _connection) {
            // Back: a new wait for the output the server offers.
            _state = State::awaitingOutput;
            _waiting = false;
            wait = beginWaitLocked();
        }
        if (_state == State::awaitingOutput) {
            if (!available) {
                _state = State::awaitingServer;
            } else if (output) {
                _state = State::reopening;
                reopening = true;
            }
        } else if (_state == State::capturing && output && output->sink != _sink &&
                   !(_failed && _failed->load())) {
            // A lost server is the recording's failure to handle, not a change
            // of the default output.
            following = true;
        }
    }
    if (wait)
        armWait(generation, *wait);
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
    const std::optional<Output> output = defaultOutput();
    if (!output)
        return;  // the server has not settled on an output yet
    std::shared_ptr<RecordStream> record;
    {
        util::MutexLock lock(mutex_);
        if (_generation != generation || _state != State::capturing || output->sink == _sink ||
            (_failed && _failed->load()))
            return;
        record = _record;
    }
    if (!record->moveTo(output->monitor)) {
        util::MutexLock lock(mutex_);
        if (_generation == generation && _state == State::capturing)
            _sink = output->sink;
        return;
    }
    // Not moved (the server may have taken the recording elsewhere): record
    // the new output anew.
    {
        util::MutexLock lock(mutex_);
        // A recording that failed meanwhile is handled by its own report.
        if (_generation != generation || _state != State::capturing || (_failed && _failed->load()))
            return;
        _state = State::reopening;
        record = std::move(_record);
    }
    gate_->setOpen(false);
    record.reset();
    reopen(generation);
}

void SystemAudioStream::report(std::uint64_t generation, std::int64_t code,
                               const std::string& message) {
    {
        util::MutexLock lock(mutex_);
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
