#include "platform/pulse/LinuxAudioHardware.h"

#include <algorithm>
#include <future>
#include <utility>
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pulse {

std::shared_ptr<LinuxAudioHardware> LinuxAudioHardware::create(
    std::shared_ptr<PulseConnection> connection) {
    auto hardware = std::make_shared<LinuxAudioHardware>(Key{}, connection);
    // Registered on the event queue, behind every update published so far:
    // the listing those updates describe is taken as what the listeners know,
    // so the first later update is compared with it and not with nothing
    // (which would look like every device and the default input appearing).
    auto registered = std::make_shared<std::promise<void>>();
    auto done = registered->get_future();
    // The task owns neither: its captures die on the event queue's thread
    // after the caller has gone on, and the connection waits for its tasks.
    const bool queued = connection->events().async(
        [weak = std::weak_ptr(hardware), connection = connection.get(), registered] {
            if (auto hardware = weak.lock()) {
                if (connection->model().available()) {
                    hardware->seen_ = hardware->seenNow();
                    hardware->serverPresent_ = true;
                }
                connection->addObserver(hardware);
            }
            registered->set_value();
        });
    if (queued)
        done.wait_for(connection->timeout());
    return hardware;
}

PropertyRead<AudioObjectId> LinuxAudioHardware::defaultInputDevice() {
    PulseModel& model = connection_->model();
    if (!model.available())
        return PropertyRead<AudioObjectId>::failure(kServerUnavailableStatus);
    return PropertyRead<AudioObjectId>::success(model.defaultInputId());
}

PropertyRead<std::vector<AudioObjectId>> LinuxAudioHardware::devices() {
    PulseModel& model = connection_->model();
    if (!model.available())
        return PropertyRead<std::vector<AudioObjectId>>::failure(kServerUnavailableStatus);
    return PropertyRead<std::vector<AudioObjectId>>::success(model.deviceIds());
}

PropertyRead<std::string> LinuxAudioHardware::deviceUID(AudioObjectId device) {
    auto d = connection_->model().device(device);
    if (!d)
        return PropertyRead<std::string>::failure(kBadObjectStatus);
    return PropertyRead<std::string>::success(d->name);
}

PropertyRead<std::string> LinuxAudioHardware::deviceName(AudioObjectId device) {
    auto d = connection_->model().device(device);
    if (!d)
        return PropertyRead<std::string>::failure(kBadObjectStatus);
    return PropertyRead<std::string>::success(d->description);
}

PropertyRead<std::uint32_t> LinuxAudioHardware::isRunningSomewhere(AudioObjectId device,
                                                                   Scope scope) {
    auto d = connection_->model().device(device);
    if (!d)
        return PropertyRead<std::uint32_t>::failure(kBadObjectStatus);
    // A source only records and a sink only plays: each runs in one scope.
    const Scope own = d->kind == DeviceKind::source ? Scope::input : Scope::output;
    const bool running = d->running && (scope == Scope::global || scope == own);
    return PropertyRead<std::uint32_t>::success(running ? 1 : 0);
}

PropertyRead<std::vector<std::uint32_t>> LinuxAudioHardware::inputStreamChannels(
    AudioObjectId device) {
    auto d = connection_->model().device(device);
    if (!d)
        return PropertyRead<std::vector<std::uint32_t>>::failure(kBadObjectStatus);
    std::vector<std::uint32_t> channels;
    if (d->kind == DeviceKind::source)
        channels.push_back(d->inputChannels);
    return PropertyRead<std::vector<std::uint32_t>>::success(std::move(channels));
}

PropertyRead<std::vector<AudioObjectId>> LinuxAudioHardware::processObjects() {
    PulseModel& model = connection_->model();
    if (!model.available())
        return PropertyRead<std::vector<AudioObjectId>>::failure(kServerUnavailableStatus);
    std::vector<AudioObjectId> ids;
    for (const ProcessView& p : model.processes())
        ids.push_back(p.id);
    return PropertyRead<std::vector<AudioObjectId>>::success(std::move(ids));
}

PropertyRead<std::int32_t> LinuxAudioHardware::processPid(AudioObjectId process) {
    auto p = connection_->model().process(process);
    if (!p)
        return PropertyRead<std::int32_t>::failure(kBadObjectStatus);
    return PropertyRead<std::int32_t>::success(p->pid);
}

PropertyRead<std::uint32_t> LinuxAudioHardware::processIsRunningInput(AudioObjectId process) {
    auto p = connection_->model().process(process);
    if (!p)
        return PropertyRead<std::uint32_t>::failure(kBadObjectStatus);
    return PropertyRead<std::uint32_t>::success(p->runningInput ? 1 : 0);
}

PropertyRead<ListenerRegistration> LinuxAudioHardware::addListener(const PropertyAddress& address,
                                                                   std::function<void()> onChange) {
    if (address.object != kSystemObject && !connection_->model().device(address.object))
        return PropertyRead<ListenerRegistration>::failure(kBadObjectStatus);
    util::MutexLock lock(mutex_);
    const std::uint64_t id = _nextListenerId++;
    _listeners.emplace(id, Listener{address, std::move(onChange)});
    return PropertyRead<ListenerRegistration>::success(ListenerRegistration{id, address});
}

HardwareStatus LinuxAudioHardware::removeListener(const ListenerRegistration& registration) {
    util::MutexLock lock(mutex_);
    auto it = _listeners.find(registration.id);
    if (it == _listeners.end() || !(it->second.address == registration.address))
        return kBadObjectStatus;
    _listeners.erase(it);
    return 0;
}

LinuxAudioHardware::Seen LinuxAudioHardware::seenNow() const {
    const PulseModel& model = connection_->model();
    Seen seen;
    for (AudioObjectId id : model.deviceIds()) {
        if (auto d = model.device(id))
            seen.devices.push_back((d->kind == DeviceKind::sink ? "sink:" : "source:") + d->name);
    }
    if (auto input = model.defaultCaptureDevice())
        seen.defaultInput = input->uniqueId;
    return seen;
}

ModelChanges LinuxAudioHardware::filtered(const ModelChanges& changes) {
    if (!connection_->model().available()) {
        if (std::exchange(serverPresent_, false))
            ++outages_;
        settling_ = settled_ = false;
        return {};
    }
    const Seen now = seenNow();
    ModelChanges effective = changes;
    if (!serverPresent_ && now.defaultInput.empty() && !seen_.defaultInput.empty() && !settled_) {
        if (!std::exchange(settling_, true)) {
            connection_->afterOnEvents(
                kDeviceSettleTime, [weak = weak_from_this(), outage = outages_] {
                    auto self = weak.lock();
                    if (!self || self->outages_ != outage || !self->settling_)
                        return;
                    self->settled_ = true;
                    self->modelChanged(ModelChanges{});
                });
        }
        ModelChanges held;
        held.running = changes.running;
        return held;
    }
    if (!serverPresent_) {
        settling_ = settled_ = false;
        // Connected (again): only what differs from before counts.
        effective.deviceList = now.devices != seen_.devices;
        effective.defaultInput = now.defaultInput != seen_.defaultInput;
        serverPresent_ = true;
    }
    seen_ = now;
    return effective;
}

void LinuxAudioHardware::modelChanged(const ModelChanges& reported) {
    const ModelChanges changes = filtered(reported);
    auto concerns = [&](const PropertyAddress& a) {
        switch (a.property) {
            case HardwareProperty::deviceList:
                return a.object == kSystemObject && changes.deviceList;
            case HardwareProperty::defaultInputDevice:
                return a.object == kSystemObject && changes.defaultInput;
            case HardwareProperty::isRunningSomewhere:
                return std::find(changes.running.begin(), changes.running.end(), a.object) !=
                       changes.running.end();
        }
        return false;
    };
    std::vector<std::uint64_t> due;
    {
        util::MutexLock lock(mutex_);
        for (const auto& [id, listener] : _listeners) {
            if (concerns(listener.address))
                due.push_back(id);
        }
    }
    for (std::uint64_t id : due) {
        // Looked up again so that a listener removed by an earlier callback
        // is not called.
        std::function<void()> callback;
        {
            util::MutexLock lock(mutex_);
            auto it = _listeners.find(id);
            if (it == _listeners.end())
                continue;
            callback = it->second.onChange;
        }
        callback();
    }
}

}  // namespace ostrovane::platform::pulse
