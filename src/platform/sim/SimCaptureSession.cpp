#include "platform/sim/SimCaptureSession.h"

#include <algorithm>

#include "platform/sim/SimAudio.h"

namespace ostrovane::platform::sim {

void SimAudioDataOutput::setSampleBufferHandler(SampleBufferHandler handler,
                                                dispatch::QueueRef queue) {
    util::MutexLock lock(mutex_);
    _handler = std::move(handler);
    _queue = std::move(queue);
}

void SimAudioDataOutput::deliver(const std::shared_ptr<const SampleBuffer>& buffer) {
    SampleBufferHandler handler;
    dispatch::QueueRef queue;
    {
        util::MutexLock lock(mutex_);
        handler = _handler;
        queue = _queue;
    }
    if (!handler)
        return;
    queue.async([handler = std::move(handler), buffer] { handler(buffer); });
}

SimCaptureSession::SimCaptureSession(std::weak_ptr<SimAudio> audio,
                                     std::shared_ptr<PlatformThreads> threads)
    : audio_(std::move(audio)), threads_(std::move(threads)) {}

SimCaptureSession::~SimCaptureSession() {
    halt();
}

void SimCaptureSession::setNotifications(SessionNotifications notifications) {
    util::MutexLock lock(mutex_);
    _notifications = std::move(notifications);
}

std::vector<std::shared_ptr<CaptureDeviceInput>> SimCaptureSession::inputs() const {
    util::MutexLock lock(mutex_);
    return {_inputs.begin(), _inputs.end()};
}

bool SimCaptureSession::canAddInput(const std::shared_ptr<CaptureDeviceInput>& input) const {
    auto sim = std::dynamic_pointer_cast<SimDeviceInput>(input);
    if (!sim)
        return false;
    auto audio = audio_.lock();
    if (!audio || audio->inputRefused(sim->device().uniqueId))
        return false;
    util::MutexLock lock(mutex_);
    return std::find(_inputs.begin(), _inputs.end(), sim) == _inputs.end();
}

void SimCaptureSession::addInput(std::shared_ptr<CaptureDeviceInput> input) {
    auto sim = std::dynamic_pointer_cast<SimDeviceInput>(input);
    if (!sim)
        return;
    util::MutexLock lock(mutex_);
    if (std::find(_inputs.begin(), _inputs.end(), sim) == _inputs.end()) {
        _inputs.push_back(std::move(sim));
    }
}

void SimCaptureSession::removeInput(const std::shared_ptr<CaptureDeviceInput>& input) {
    util::MutexLock lock(mutex_);
    std::erase_if(_inputs, [&](const auto& i) { return i == input; });
}

std::vector<std::shared_ptr<AudioDataOutput>> SimCaptureSession::outputs() const {
    util::MutexLock lock(mutex_);
    return {_outputs.begin(), _outputs.end()};
}

bool SimCaptureSession::canAddOutput(const std::shared_ptr<AudioDataOutput>& output) const {
    auto sim = std::dynamic_pointer_cast<SimAudioDataOutput>(output);
    if (!sim)
        return false;
    auto audio = audio_.lock();
    if (!audio || audio->outputsRefused())
        return false;
    util::MutexLock lock(mutex_);
    return std::find(_outputs.begin(), _outputs.end(), sim) == _outputs.end();
}

void SimCaptureSession::addOutput(std::shared_ptr<AudioDataOutput> output) {
    auto sim = std::dynamic_pointer_cast<SimAudioDataOutput>(output);
    if (!sim)
        return;
    util::MutexLock lock(mutex_);
    if (std::find(_outputs.begin(), _outputs.end(), sim) == _outputs.end()) {
        _outputs.push_back(std::move(sim));
    }
}

void SimCaptureSession::startRunning() {
    auto audio = audio_.lock();
    if (!audio)
        return;
    std::string uid;
    {
        util::MutexLock lock(mutex_);
        if (!_capturingUid.empty() || _inputs.empty())
            return;
        uid = _inputs.front()->device().uniqueId;
    }
    const auto setup = audio->captureSetup(uid);
    if (!setup || setup->framesPerBuffer <= 0 || setup->layout.sampleRate <= 0)
        return;
    const auto period =
        dispatch::seconds(static_cast<double>(setup->framesPerBuffer) / setup->layout.sampleRate);
    {
        util::MutexLock lock(mutex_);
        if (!_capturingUid.empty())
            return;
        _capturingUid = uid;
        _slot = 0;
        _framesPerBuffer = setup->framesPerBuffer;
        _layout = setup->layout;
        _described = setup->described;
        _timer = std::make_unique<dispatch::RepeatingTimer>(
            threads_->capture, period, dispatch::Duration{0}, [weak = weak_from_this()] {
                if (auto self = weak.lock())
                    self->tick();
            });
        _timer->start();
    }
    audio->sessionRunningChanged(uid, +1);
}

void SimCaptureSession::stopRunning() {
    halt();
}

bool SimCaptureSession::isRunning() const {
    util::MutexLock lock(mutex_);
    return !_capturingUid.empty();
}

std::string SimCaptureSession::capturingUid() const {
    util::MutexLock lock(mutex_);
    return _capturingUid;
}

std::string SimCaptureSession::haltLocked(std::unique_ptr<dispatch::RepeatingTimer>& timer) {
    timer = std::move(_timer);
    if (timer)
        timer->cancel();
    return std::exchange(_capturingUid, std::string());
}

void SimCaptureSession::halt() {
    std::unique_ptr<dispatch::RepeatingTimer> timer;
    std::string uid;
    {
        util::MutexLock lock(mutex_);
        uid = haltLocked(timer);
    }
    if (uid.empty())
        return;
    if (auto audio = audio_.lock())
        audio->sessionRunningChanged(uid, -1);
}

void SimCaptureSession::failAtRuntime(std::optional<Error> error) {
    halt();
    std::function<void(std::optional<Error>)> handler;
    {
        util::MutexLock lock(mutex_);
        handler = _notifications.runtimeError;
    }
    if (handler)
        threads_->service.async([handler, error] { handler(error); });
}

void SimCaptureSession::interrupt(std::map<std::string, std::string> userInfo) {
    halt();
    std::function<void(std::map<std::string, std::string>)> handler;
    {
        util::MutexLock lock(mutex_);
        handler = _notifications.interrupted;
    }
    if (handler)
        threads_->service.async([handler, userInfo] { handler(userInfo); });
}

void SimCaptureSession::endInterruption() {
    std::function<void()> handler;
    {
        util::MutexLock lock(mutex_);
        handler = _notifications.interruptionEnded;
    }
    if (handler)
        threads_->service.async(handler);
}

void SimCaptureSession::tick() {
    auto audio = audio_.lock();
    if (!audio)
        return;
    BufferSlot slot;
    std::string uid;
    {
        util::MutexLock lock(mutex_);
        if (_capturingUid.empty())
            return;
        uid = _capturingUid;
        slot.layout = _layout;
        slot.described = _described;
        slot.frames = _framesPerBuffer;
        slot.index = _slot++;
        slot.presentationTime =
            MediaTime{slot.index * _framesPerBuffer, static_cast<std::int32_t>(_layout.sampleRate)};
    }
    const SampleGenerator generate = audio->generator(uid);
    if (!generate)
        return;  // the device is gone: nothing arrives
    auto buffer = generate(slot);
    if (!buffer)
        return;
    // Delivery happens under the lock so that stopRunning, once it returned,
    // is never followed by another buffer.
    util::MutexLock lock(mutex_);
    if (_capturingUid != uid)
        return;
    for (const auto& output : _outputs)
        output->deliver(buffer);
}

}  // namespace ostrovane::platform::sim
