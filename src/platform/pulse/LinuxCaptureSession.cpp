#include "platform/pulse/LinuxCaptureSession.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "platform/pulse/RecordStream.h"

namespace ostrovane::platform::pulse {

// ---- OutputGate ----

void OutputGate::add(std::shared_ptr<LinuxAudioDataOutput> output) {
    util::MutexLock lock(mutex_);
    _outputs.push_back(std::move(output));
}

bool OutputGate::contains(const std::shared_ptr<AudioDataOutput>& output) const {
    util::MutexLock lock(mutex_);
    return std::any_of(_outputs.begin(), _outputs.end(),
                       [&](const auto& o) { return o == output; });
}

std::vector<std::shared_ptr<AudioDataOutput>> OutputGate::outputs() const {
    util::MutexLock lock(mutex_);
    return {_outputs.begin(), _outputs.end()};
}

void OutputGate::setOpen(bool open) {
    if (open)
        gate_.open();
    else
        gate_.close();
}

void OutputGate::deliver(const std::shared_ptr<const SampleBuffer>& buffer) {
    gate_.pass([&] {
        std::vector<std::shared_ptr<LinuxAudioDataOutput>> outputs;
        {
            util::MutexLock lock(mutex_);
            outputs = _outputs;
        }
        for (const auto& output : outputs)
            output->deliver(buffer);
    });
}

// ---- LinuxCaptureSession ----

LinuxCaptureSession::LinuxCaptureSession(std::shared_ptr<PulseConnection> connection)
    : connection_(std::move(connection)) {}

LinuxCaptureSession::~LinuxCaptureSession() {
    halt();
}

void LinuxCaptureSession::setNotifications(SessionNotifications notifications) {
    util::MutexLock lock(mutex_);
    _notifications = std::move(notifications);
}

std::vector<std::shared_ptr<CaptureDeviceInput>> LinuxCaptureSession::inputs() const {
    util::MutexLock lock(mutex_);
    return {_inputs.begin(), _inputs.end()};
}

bool LinuxCaptureSession::canAddInput(const std::shared_ptr<CaptureDeviceInput>& input) const {
    auto ours = std::dynamic_pointer_cast<LinuxDeviceInput>(input);
    if (!ours)
        return false;
    auto source = connection_->model().source(ours->device().uniqueId);
    if (!source || source->isMonitor || !source->recordFormat)
        return false;
    util::MutexLock lock(mutex_);
    return _inputs.empty();
}

void LinuxCaptureSession::addInput(std::shared_ptr<CaptureDeviceInput> input) {
    auto ours = std::dynamic_pointer_cast<LinuxDeviceInput>(input);
    if (!ours)
        return;
    util::MutexLock lock(mutex_);
    if (_inputs.empty())
        _inputs.push_back(std::move(ours));
}

void LinuxCaptureSession::removeInput(const std::shared_ptr<CaptureDeviceInput>& input) {
    bool removed;
    {
        util::MutexLock lock(mutex_);
        removed = std::erase_if(_inputs, [&](const auto& i) { return i == input; }) > 0;
    }
    // Without its input a session records nothing.
    if (removed)
        halt();
}

std::vector<std::shared_ptr<AudioDataOutput>> LinuxCaptureSession::outputs() const {
    return gate_->outputs();
}

bool LinuxCaptureSession::canAddOutput(const std::shared_ptr<AudioDataOutput>& output) const {
    return std::dynamic_pointer_cast<LinuxAudioDataOutput>(output) && !gate_->contains(output);
}

void LinuxCaptureSession::addOutput(std::shared_ptr<AudioDataOutput> output) {
    if (!canAddOutput(output))
        return;
    gate_->add(std::dynamic_pointer_cast<LinuxAudioDataOutput>(output));
}

void LinuxCaptureSession::startRunning() {
    std::string uid;
    std::shared_ptr<RecordStream> corked;
    std::uint64_t generation = 0;
    {
        util::MutexLock lock(mutex_);
        _startError.reset();
        if (_state == State::running || _inputs.empty())
            return;
        if (_state == State::interrupted && _stream) {
            // The corked stream of the interruption carries on.
            corked = _stream;
            _state = State::running;
        } else {
            uid = _inputs.front()->device().uniqueId;
            generation = ++_generation;
        }
    }
    if (corked) {
        corked->setCorked(false);
        gate_->setOpen(true);
        return;
    }
    auto source = connection_->model().source(uid);
    if (!source || source->isMonitor || !source->recordFormat) {
        util::MutexLock lock(mutex_);
        failStartLocked(Error{kPulseErrorDomain, PA_ERR_NOENTITY,
                              "The microphone " + uid + " is no longer there"});
        return;
    }

    // Set on the main loop thread the moment the stream fails, so that a
    // failure racing with the start below is never lost.
    auto ended = std::make_shared<std::atomic<bool>>(false);
    RecordEvents events;
    events.buffer = [gate = gate_](std::shared_ptr<const SampleBuffer> buffer) {
        gate->deliver(buffer);
    };
    const dispatch::QueueRef queue = connection_->events();
    events.failed = [weak = weak_from_this(), queue, generation, ended](const Error& error) {
        ended->store(true);
        queue.async([weak, generation, error] {
            if (auto self = weak.lock())
                self->streamFailed(generation, error);
        });
    };
    events.suspended = [weak = weak_from_this(), queue, generation](bool suspended) {
        queue.async([weak, generation, suspended] {
            if (auto self = weak.lock())
                self->streamSuspended(generation, suspended);
        });
    };
    auto opened =
        RecordStream::open(connection_,
                           RecordRequest{uid, *source->recordFormat, "Ostrovane microphone",
                                         std::chrono::milliseconds(10)},
                           std::move(events));
    if (!opened.ok()) {
        util::MutexLock lock(mutex_);
        failStartLocked(opened.error());
        return;
    }
    std::shared_ptr<RecordStream> stream = std::move(opened).value();
    const std::uint64_t connection = connection_->connections();
    {
        util::MutexLock lock(mutex_);
        if (ended->load() || _generation != generation) {
            failStartLocked(Error{kPulseErrorDomain, PA_ERR_NOENTITY,
                                  "The record stream on " + uid + " ended as it started"});
            return;  // the stream is released outside the lock
        }
        _stream = stream;
        _state = State::running;
        _connection = connection;
    }
    gate_->setOpen(true);
}

void LinuxCaptureSession::stopRunning() {
    halt();
}

bool LinuxCaptureSession::isRunning() const {
    util::MutexLock lock(mutex_);
    return _state == State::running;
}

std::optional<Error> LinuxCaptureSession::startError() const {
    util::MutexLock lock(mutex_);
    return _startError;
}

void LinuxCaptureSession::halt() {
    gate_->setOpen(false);
    std::shared_ptr<RecordStream> stream;
    {
        util::MutexLock lock(mutex_);
        _state = State::stopped;
        ++_generation;
        stream = std::move(_stream);
    }
    // Closed outside our lock: closing takes the main loop lock.
}

void LinuxCaptureSession::streamFailed(std::uint64_t generation, const Error& error) {
    const bool serverLost =
        error.domain == kPulseErrorDomain && error.code == PA_ERR_CONNECTIONTERMINATED;
    std::function<void(std::optional<Error>)> notify;
    std::function<void(std::map<std::string, std::string>)> interrupted;
    bool observe = false;
    {
        util::MutexLock lock(mutex_);
        if (generation != _generation || _state == State::stopped)
            return;
        notify = _notifications.runtimeError;
        interrupted = _notifications.interrupted;
    }
    halt();
    if (!serverLost) {
        // The failure usually comes ahead of the events that tell what the
        // server did about it; the defaults are fetched first so that the
        // owner's restart sees them. Off the event queue: it waits on the
        // server.
        // Not an owner of the connection, which waits for its running task.
        connection_->work().async([connection = connection_.get(), notify, error] {
            connection->refreshDefaults();
            if (notify)
                notify(error);
        });
        return;
    }
    {
        util::MutexLock lock(mutex_);
        _state = State::awaitingServer;
        observe = !std::exchange(_observing, true);
    }
    if (interrupted)
        interrupted({{"reason", error.localizedDescription()}});
    if (observe)
        connection_->addObserver(weak_from_this());
    // The server may already be back by now.
    modelChanged(ModelChanges{});
}

void LinuxCaptureSession::modelChanged(const ModelChanges&) {
    checkServerReturn(false);
}

void LinuxCaptureSession::checkServerReturn(bool settled) {
    // Read before our lock: the model has a lock of its own.
    PulseModel& model = connection_->model();
    const bool back = model.available();
    const bool offersMicrophone = back && model.defaultCaptureDevice().has_value();
    const std::uint64_t connections = connection_->connections();
    std::function<void(std::optional<Error>)> notify;
    std::uint64_t generation = 0;
    bool arm = false;
    {
        util::MutexLock lock(mutex_);
        if (settled)
            _settling = false;
        if (_state != State::awaitingServer || !back || connections <= _connection)
            return;
        if (!offersMicrophone && !settled) {
            // Listed but without a microphone yet: a session manager may still
            // be adding the devices.
            arm = !std::exchange(_settling, true);
            generation = _generation;
        } else {
            _state = State::stopped;
            notify = _notifications.runtimeError;
        }
    }
    if (arm) {
        connection_->afterOnEvents(kDeviceSettleTime, [weak = weak_from_this(), generation] {
            auto self = weak.lock();
            if (!self)
                return;
            bool current;
            {
                util::MutexLock lock(self->mutex_);
                current = self->_generation == generation;
                if (!current)
                    self->_settling = false;
            }
            if (current)
                self->checkServerReturn(true);
        });
    }
    if (notify)
        notify(Error{kPulseErrorDomain, PA_ERR_CONNECTIONTERMINATED,
                     "The sound server restarted; the recording must be set up again"});
}

void LinuxCaptureSession::streamSuspended(std::uint64_t generation, bool suspended) {
    std::shared_ptr<RecordStream> stream;
    std::function<void(std::map<std::string, std::string>)> interrupted;
    std::function<void()> ended;
    {
        util::MutexLock lock(mutex_);
        if (generation != _generation)
            return;
        if (suspended && _state == State::running) {
            _state = State::interrupted;
            stream = _stream;
            interrupted = _notifications.interrupted;
        } else if (!suspended && _state == State::interrupted) {
            ended = _notifications.interruptionEnded;
        }
    }
    if (stream) {
        gate_->setOpen(false);
        stream->setCorked(true);
        if (interrupted)
            interrupted({{"reason", "The source was suspended"}});
    }
    if (ended)
        ended();
}

}  // namespace ostrovane::platform::pulse
