#include "platform/sim/SimAudio.h"

#include <algorithm>

#include "platform/sim/SimCaptureSession.h"

namespace ostrovane::platform::sim {

namespace {

std::size_t scopeIndex(Scope scope) {
    return static_cast<std::size_t>(scope);
}

}  // namespace

SimAudio::SimAudio(std::shared_ptr<PlatformThreads> threads) : threads_(std::move(threads)) {}

SimAudio::~SimAudio() = default;

// ---- scripting: devices ----

AudioObjectId SimAudio::addDevice(SimDeviceSpec spec) {
    std::vector<std::uint64_t> fire;
    AudioObjectId id;
    {
        util::MutexLock lock(mutex_);
        id = AudioObjectId{_nextObjectId++};
        _devices.push_back(Device{std::move(spec), id, {}, {}, 0});
        notifyLocked(kSystemObject, HardwareProperty::deviceList, fire);
    }
    post(fire);
    return id;
}

void SimAudio::removeDevice(const std::string& uid) {
    std::vector<std::uint64_t> fire;
    {
        util::MutexLock lock(mutex_);
        auto it = std::find_if(_devices.begin(), _devices.end(),
                               [&](const Device& d) { return d.spec.uid == uid; });
        if (it == _devices.end())
            return;
        _devices.erase(it);
        notifyLocked(kSystemObject, HardwareProperty::deviceList, fire);
        if (_defaultUid == uid) {
            _defaultUid.reset();
            notifyLocked(kSystemObject, HardwareProperty::defaultInputDevice, fire);
        }
    }
    post(fire);
}

void SimAudio::setDefaultInput(std::optional<std::string> uid) {
    std::vector<std::uint64_t> fire;
    {
        util::MutexLock lock(mutex_);
        if (_defaultUid == uid)
            return;
        _defaultUid = std::move(uid);
        notifyLocked(kSystemObject, HardwareProperty::defaultInputDevice, fire);
    }
    post(fire);
}

void SimAudio::setRunning(const std::string& uid, Scope scope, bool running) {
    std::vector<std::uint64_t> fire;
    {
        util::MutexLock lock(mutex_);
        Device* d = findLocked(uid);
        if (!d || d->scriptedRunning[scopeIndex(scope)] == running)
            return;
        d->scriptedRunning[scopeIndex(scope)] = running;
        notifyLocked(d->id, HardwareProperty::isRunningSomewhere, fire);
    }
    post(fire);
}

void SimAudio::setGenerator(const std::string& uid, SampleGenerator generator) {
    util::MutexLock lock(mutex_);
    if (Device* d = findLocked(uid))
        d->spec.generator = std::move(generator);
}

void SimAudio::setFaults(const std::string& uid, SimDeviceFaults faults) {
    util::MutexLock lock(mutex_);
    if (Device* d = findLocked(uid))
        d->faults = std::move(faults);
}

void SimAudio::setPermission(bool granted) {
    util::MutexLock lock(mutex_);
    _permission = granted;
}

void SimAudio::holdPermissionAnswers(bool hold) {
    util::MutexLock lock(mutex_);
    _holdPermission = hold;
}

std::size_t SimAudio::releasePermissionAnswers() {
    std::vector<std::function<void(bool)>> due;
    bool granted;
    {
        util::MutexLock lock(mutex_);
        due.swap(_heldPermission);
        granted = _permission;
    }
    for (auto& answer : due)
        threads_->service.async([answer = std::move(answer), granted] { answer(granted); });
    return due.size();
}

void SimAudio::refuseOutputs(bool refuse) {
    util::MutexLock lock(mutex_);
    _refuseOutputs = refuse;
}

void SimAudio::failRead(SimRead read, HardwareStatus status) {
    util::MutexLock lock(mutex_);
    if (status == 0) {
        _readFaults.erase(read);
    } else {
        _readFaults[read] = status;
    }
}

// ---- scripting: session events ----

std::vector<std::shared_ptr<SimCaptureSession>> SimAudio::sessionsOn(const std::string& uid) {
    std::vector<std::shared_ptr<SimCaptureSession>> all;
    {
        util::MutexLock lock(mutex_);
        std::erase_if(_sessions, [](const auto& w) { return w.expired(); });
        for (const auto& weak : _sessions) {
            if (auto s = weak.lock())
                all.push_back(std::move(s));
        }
    }
    std::erase_if(all, [&](const auto& s) { return s->capturingUid() != uid; });
    return all;
}

void SimAudio::raiseRuntimeError(const std::string& uid, std::optional<Error> error) {
    for (const auto& session : sessionsOn(uid))
        session->failAtRuntime(error);
}

void SimAudio::interrupt(const std::string& uid, std::map<std::string, std::string> userInfo) {
    for (const auto& session : sessionsOn(uid))
        session->interrupt(userInfo);
}

void SimAudio::endInterruption(const std::string& uid) {
    std::vector<std::shared_ptr<SimCaptureSession>> all;
    {
        util::MutexLock lock(mutex_);
        for (const auto& weak : _sessions) {
            if (auto s = weak.lock())
                all.push_back(std::move(s));
        }
    }
    // Interrupted sessions no longer capture; they remember nothing of the
    // device, so every session whose input is the device hears the end.
    for (const auto& session : all) {
        for (const auto& input : session->inputs()) {
            if (input->device().uniqueId == uid) {
                session->endInterruption();
                break;
            }
        }
    }
}

// ---- scripting: processes ----

AudioObjectId SimAudio::addProcess(Pid pid, bool inputRunning) {
    util::MutexLock lock(mutex_);
    const AudioObjectId id{_nextObjectId++};
    _processes.push_back(Process{pid, id, inputRunning});
    return id;
}

void SimAudio::setProcessInput(Pid pid, bool inputRunning) {
    util::MutexLock lock(mutex_);
    for (Process& p : _processes) {
        if (p.pid == pid)
            p.inputRunning = inputRunning;
    }
}

void SimAudio::removeProcess(Pid pid) {
    util::MutexLock lock(mutex_);
    std::erase_if(_processes, [pid](const Process& p) { return p.pid == pid; });
}

// ---- observation ----

std::optional<AudioObjectId> SimAudio::objectId(const std::string& uid) const {
    util::MutexLock lock(mutex_);
    const Device* d = findLocked(uid);
    if (!d)
        return std::nullopt;
    return d->id;
}

std::size_t SimAudio::listenerCount() const {
    util::MutexLock lock(mutex_);
    return _listeners.size();
}

std::size_t SimAudio::runningSessions(const std::string& uid) const {
    util::MutexLock lock(mutex_);
    const Device* d = findLocked(uid);
    return d ? static_cast<std::size_t>(d->ownSessions) : 0;
}

std::int64_t SimAudio::permissionRequests() const {
    util::MutexLock lock(mutex_);
    return _permissionRequests;
}

// ---- AudioCaptureDevices ----

void SimAudio::requestAccess(std::function<void(bool)> answer) {
    bool granted;
    {
        util::MutexLock lock(mutex_);
        ++_permissionRequests;
        granted = _permission;
        if (_holdPermission) {
            _heldPermission.push_back(std::move(answer));
            return;
        }
    }
    threads_->service.async([answer = std::move(answer), granted] { answer(granted); });
}

std::optional<CaptureDevice> SimAudio::defaultDevice() {
    util::MutexLock lock(mutex_);
    if (!_defaultUid)
        return std::nullopt;
    const Device* d = findLocked(*_defaultUid);
    if (!d || !d->spec.isInput)
        return std::nullopt;
    return CaptureDevice{d->spec.uid, d->spec.name};
}

std::vector<CaptureDevice> SimAudio::discoverDevices() {
    util::MutexLock lock(mutex_);
    std::vector<CaptureDevice> out;
    for (const Device& d : _devices) {
        if (d.spec.isInput)
            out.push_back({d.spec.uid, d.spec.name});
    }
    return out;
}

Result<std::shared_ptr<CaptureDeviceInput>> SimAudio::makeInput(const CaptureDevice& device) {
    util::MutexLock lock(mutex_);
    const Device* d = findLocked(device.uniqueId);
    if (!d || !d->spec.isInput) {
        return Error{"AVFoundationErrorDomain", -11814, "Cannot Record"};
    }
    if (d->faults.inputCreationError)
        return *d->faults.inputCreationError;
    return std::shared_ptr<CaptureDeviceInput>(std::make_shared<SimDeviceInput>(device));
}

std::shared_ptr<AudioDataOutput> SimAudio::makeAudioDataOutput() {
    return std::make_shared<SimAudioDataOutput>();
}

std::shared_ptr<AudioCaptureSession> SimAudio::makeSession() {
    auto session = std::make_shared<SimCaptureSession>(weak_from_this(), threads_);
    util::MutexLock lock(mutex_);
    std::erase_if(_sessions, [](const auto& w) { return w.expired(); });
    _sessions.push_back(session);
    return session;
}

// ---- AudioHardware ----

PropertyRead<AudioObjectId> SimAudio::defaultInputDevice() {
    util::MutexLock lock(mutex_);
    if (auto f = _readFaults.find(SimRead::defaultInput); f != _readFaults.end()) {
        return PropertyRead<AudioObjectId>::failure(f->second);
    }
    const Device* d = _defaultUid ? findLocked(*_defaultUid) : nullptr;
    return PropertyRead<AudioObjectId>::success(d ? d->id : AudioObjectId{});
}

PropertyRead<std::vector<AudioObjectId>> SimAudio::devices() {
    util::MutexLock lock(mutex_);
    if (auto f = _readFaults.find(SimRead::deviceList); f != _readFaults.end()) {
        return PropertyRead<std::vector<AudioObjectId>>::failure(f->second);
    }
    std::vector<AudioObjectId> ids;
    for (const Device& d : _devices)
        ids.push_back(d.id);
    return PropertyRead<std::vector<AudioObjectId>>::success(std::move(ids));
}

PropertyRead<std::string> SimAudio::deviceUID(AudioObjectId device) {
    util::MutexLock lock(mutex_);
    const Device* d = findLocked(device);
    if (!d)
        return PropertyRead<std::string>::failure(kBadObjectStatus);
    return PropertyRead<std::string>::success(d->spec.uid);
}

PropertyRead<std::string> SimAudio::deviceName(AudioObjectId device) {
    util::MutexLock lock(mutex_);
    const Device* d = findLocked(device);
    if (!d)
        return PropertyRead<std::string>::failure(kBadObjectStatus);
    return PropertyRead<std::string>::success(d->spec.name);
}

PropertyRead<std::uint32_t> SimAudio::isRunningSomewhere(AudioObjectId device, Scope scope) {
    util::MutexLock lock(mutex_);
    const Device* d = findLocked(device);
    if (!d)
        return PropertyRead<std::uint32_t>::failure(kBadObjectStatus);
    return PropertyRead<std::uint32_t>::success(runningLocked(*d, scope));
}

PropertyRead<std::vector<std::uint32_t>> SimAudio::inputStreamChannels(AudioObjectId device) {
    util::MutexLock lock(mutex_);
    const Device* d = findLocked(device);
    if (!d)
        return PropertyRead<std::vector<std::uint32_t>>::failure(kBadObjectStatus);
    std::vector<std::uint32_t> channels;
    if (d->spec.isInput)
        channels.push_back(d->spec.format.channelsPerFrame);
    return PropertyRead<std::vector<std::uint32_t>>::success(std::move(channels));
}

PropertyRead<std::vector<AudioObjectId>> SimAudio::processObjects() {
    util::MutexLock lock(mutex_);
    if (auto f = _readFaults.find(SimRead::processList); f != _readFaults.end()) {
        return PropertyRead<std::vector<AudioObjectId>>::failure(f->second);
    }
    std::vector<AudioObjectId> ids;
    for (const Process& p : _processes)
        ids.push_back(p.id);
    return PropertyRead<std::vector<AudioObjectId>>::success(std::move(ids));
}

PropertyRead<std::int32_t> SimAudio::processPid(AudioObjectId process) {
    util::MutexLock lock(mutex_);
    for (const Process& p : _processes) {
        if (p.id == process)
            return PropertyRead<std::int32_t>::success(p.pid);
    }
    return PropertyRead<std::int32_t>::failure(kBadObjectStatus);
}

PropertyRead<std::uint32_t> SimAudio::processIsRunningInput(AudioObjectId process) {
    util::MutexLock lock(mutex_);
    for (const Process& p : _processes) {
        if (p.id == process)
            return PropertyRead<std::uint32_t>::success(p.inputRunning ? 1 : 0);
    }
    return PropertyRead<std::uint32_t>::failure(kBadObjectStatus);
}

PropertyRead<ListenerRegistration> SimAudio::addListener(const PropertyAddress& address,
                                                         std::function<void()> onChange) {
    util::MutexLock lock(mutex_);
    if (address.object != kSystemObject && !findLocked(address.object)) {
        return PropertyRead<ListenerRegistration>::failure(kBadObjectStatus);
    }
    const std::uint64_t id = _nextListenerId++;
    _listeners.emplace(id, Listener{address, std::move(onChange)});
    return PropertyRead<ListenerRegistration>::success(ListenerRegistration{id, address});
}

HardwareStatus SimAudio::removeListener(const ListenerRegistration& registration) {
    util::MutexLock lock(mutex_);
    auto it = _listeners.find(registration.id);
    if (it == _listeners.end() || !(it->second.address == registration.address)) {
        return kBadObjectStatus;
    }
    _listeners.erase(it);
    return 0;
}

// ---- used by the sessions ----

std::optional<SimAudio::CaptureSetup> SimAudio::captureSetup(const std::string& uid) const {
    util::MutexLock lock(mutex_);
    const Device* d = findLocked(uid);
    if (!d || !d->spec.isInput || d->faults.failToStart)
        return std::nullopt;
    return CaptureSetup{d->spec.format, d->spec.describable, d->spec.framesPerBuffer};
}

SampleGenerator SimAudio::generator(const std::string& uid) const {
    util::MutexLock lock(mutex_);
    const Device* d = findLocked(uid);
    return d ? d->spec.generator : SampleGenerator{};
}

bool SimAudio::outputsRefused() const {
    util::MutexLock lock(mutex_);
    return _refuseOutputs;
}

bool SimAudio::inputRefused(const std::string& uid) const {
    util::MutexLock lock(mutex_);
    const Device* d = findLocked(uid);
    return !d || d->faults.refuseInput;
}

void SimAudio::sessionRunningChanged(const std::string& uid, int delta) {
    std::vector<std::uint64_t> fire;
    {
        util::MutexLock lock(mutex_);
        Device* d = findLocked(uid);
        if (!d)
            return;
        const std::uint32_t before = runningLocked(*d, Scope::input);
        d->ownSessions = std::max(0, d->ownSessions + delta);
        if (runningLocked(*d, Scope::input) != before) {
            notifyLocked(d->id, HardwareProperty::isRunningSomewhere, fire);
        }
    }
    post(fire);
}

// ---- internals ----

void SimAudio::notifyLocked(AudioObjectId object, HardwareProperty property,
                            std::vector<std::uint64_t>& out) const {
    for (const auto& [id, listener] : _listeners) {
        if (listener.address.object == object && listener.address.property == property) {
            out.push_back(id);
        }
    }
}

void SimAudio::post(const std::vector<std::uint64_t>& listenerIds) {
    for (std::uint64_t id : listenerIds) {
        // The registration is looked up when the callback runs, so a listener
        // removed meanwhile is not called.
        threads_->hal.async([weak = weak_from_this(), id] {
            auto self = weak.lock();
            if (!self)
                return;
            std::function<void()> callback;
            {
                util::MutexLock lock(self->mutex_);
                auto it = self->_listeners.find(id);
                if (it == self->_listeners.end())
                    return;
                callback = it->second.onChange;
            }
            callback();
        });
    }
}

const SimAudio::Device* SimAudio::findLocked(AudioObjectId id) const {
    for (const Device& d : _devices) {
        if (d.id == id)
            return &d;
    }
    return nullptr;
}

SimAudio::Device* SimAudio::findLocked(const std::string& uid) {
    for (Device& d : _devices) {
        if (d.spec.uid == uid)
            return &d;
    }
    return nullptr;
}

const SimAudio::Device* SimAudio::findLocked(const std::string& uid) const {
    return const_cast<SimAudio*>(this)->findLocked(uid);
}

std::uint32_t SimAudio::runningLocked(const Device& d, Scope scope) const {
    bool running = d.scriptedRunning[scopeIndex(scope)];
    if (scope != Scope::output && d.ownSessions > 0)
        running = true;
    if (scope == Scope::global) {
        running = running || d.scriptedRunning[scopeIndex(Scope::input)] ||
                  d.scriptedRunning[scopeIndex(Scope::output)];
    }
    return running ? 1 : 0;
}

}  // namespace ostrovane::platform::sim
