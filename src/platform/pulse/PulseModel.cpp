#include "platform/pulse/PulseModel.h"

#include <algorithm>

namespace ostrovane::platform::pulse {

void ModelChanges::merge(const ModelChanges& other) {
    deviceList = deviceList || other.deviceList;
    defaultInput = defaultInput || other.defaultInput;
    defaultOutput = defaultOutput || other.defaultOutput;
    processes = processes || other.processes;
    for (AudioObjectId id : other.running) {
        if (std::find(running.begin(), running.end(), id) == running.end())
            running.push_back(id);
    }
}

namespace {

ModelChanges everything() {
    return ModelChanges{true, true, true, true, {}};
}

ModelChanges processesOnly() {
    ModelChanges changes;
    changes.processes = true;
    return changes;
}

}  // namespace

AudioObjectId PulseModel::nextIdLocked() {
    // Skip 0 ("no object") and 1 (the system object) should the counter wrap.
    if (_nextId < 2)
        _nextId = 2;
    return AudioObjectId{_nextId++};
}

// ---- updates ----

ModelChanges PulseModel::setAvailable(bool available) {
    util::MutexLock lock(mutex_);
    if (!available) {
        _sources.clear();
        _sinks.clear();
        _outputs.clear();
        _inputs.clear();
        _clients.clear();
        _defaultSource.clear();
        _defaultSink.clear();
        _processIds.clear();
    }
    if (_available == available)
        return {};
    _available = available;
    return everything();
}

ModelChanges PulseModel::putSource(SourceInfo info) {
    util::MutexLock lock(mutex_);
    ModelChanges changes;
    auto it = _sources.find(info.index);
    if (it == _sources.end()) {
        const bool isDefault = info.name == _defaultSource;
        const bool isDevice = !info.isMonitor;
        _sources.emplace(info.index, Source{std::move(info), nextIdLocked()});
        changes.deviceList = isDevice;
        changes.defaultInput = isDevice && isDefault;
    } else {
        Source& s = it->second;
        if (!info.isMonitor && s.info.running != info.running)
            changes.running.push_back(s.id);
        if (s.info.isMonitor != info.isMonitor)
            changes.deviceList = true;
        s.info = std::move(info);
    }
    changes.processes = true;  // which outputs count as input depends on it
    return _available ? changes : ModelChanges{};
}

ModelChanges PulseModel::removeSource(std::uint32_t index) {
    util::MutexLock lock(mutex_);
    auto it = _sources.find(index);
    if (it == _sources.end())
        return {};
    ModelChanges changes;
    if (!it->second.info.isMonitor) {
        changes.deviceList = true;
        changes.defaultInput = it->second.info.name == _defaultSource;
    }
    _sources.erase(it);
    return _available ? changes : ModelChanges{};
}

ModelChanges PulseModel::putSink(SinkInfo info) {
    util::MutexLock lock(mutex_);
    ModelChanges changes;
    auto it = _sinks.find(info.index);
    if (it == _sinks.end()) {
        changes.deviceList = true;
        changes.defaultOutput = info.name == _defaultSink;
        _sinks.emplace(info.index, Sink{std::move(info), nextIdLocked()});
    } else {
        if (it->second.info.running != info.running)
            changes.running.push_back(it->second.id);
        it->second.info = std::move(info);
    }
    return _available ? changes : ModelChanges{};
}

ModelChanges PulseModel::removeSink(std::uint32_t index) {
    util::MutexLock lock(mutex_);
    auto it = _sinks.find(index);
    if (it == _sinks.end())
        return {};
    ModelChanges changes;
    changes.deviceList = true;
    changes.defaultOutput = it->second.info.name == _defaultSink;
    _sinks.erase(it);
    return _available ? changes : ModelChanges{};
}

ModelChanges PulseModel::setDefaults(std::string source, std::string sink) {
    util::MutexLock lock(mutex_);
    ModelChanges changes;
    changes.defaultInput = source != _defaultSource;
    changes.defaultOutput = sink != _defaultSink;
    _defaultSource = std::move(source);
    _defaultSink = std::move(sink);
    return _available ? changes : ModelChanges{};
}

ModelChanges PulseModel::putSourceOutput(StreamInfo info) {
    util::MutexLock lock(mutex_);
    _outputs[info.index] = info;
    return _available ? processesOnly() : ModelChanges{};
}

ModelChanges PulseModel::removeSourceOutput(std::uint32_t index) {
    util::MutexLock lock(mutex_);
    const bool known = _outputs.erase(index) > 0;
    return _available && known ? processesOnly() : ModelChanges{};
}

ModelChanges PulseModel::putSinkInput(StreamInfo info) {
    util::MutexLock lock(mutex_);
    _inputs[info.index] = info;
    return _available ? processesOnly() : ModelChanges{};
}

ModelChanges PulseModel::removeSinkInput(std::uint32_t index) {
    util::MutexLock lock(mutex_);
    const bool known = _inputs.erase(index) > 0;
    return _available && known ? processesOnly() : ModelChanges{};
}

ModelChanges PulseModel::putClient(ClientInfo info) {
    util::MutexLock lock(mutex_);
    _clients[info.index] = info;
    return _available ? processesOnly() : ModelChanges{};
}

ModelChanges PulseModel::removeClient(std::uint32_t index) {
    util::MutexLock lock(mutex_);
    _clients.erase(index);
    return {};
}

// ---- reads ----

bool PulseModel::available() const {
    util::MutexLock lock(mutex_);
    return _available;
}

std::vector<CaptureDevice> PulseModel::captureDevices() const {
    util::MutexLock lock(mutex_);
    std::vector<CaptureDevice> out;
    if (!_available)
        return out;
    for (const auto& [index, s] : _sources) {
        if (!s.info.isMonitor)
            out.push_back({s.info.name, s.info.description});
    }
    return out;
}

std::optional<CaptureDevice> PulseModel::defaultCaptureDevice() const {
    util::MutexLock lock(mutex_);
    for (const auto& [index, s] : _sources) {
        if (_available && !s.info.isMonitor && s.info.name == _defaultSource)
            return CaptureDevice{s.info.name, s.info.description};
    }
    return std::nullopt;
}

std::optional<SourceInfo> PulseModel::source(const std::string& name) const {
    util::MutexLock lock(mutex_);
    for (const auto& [index, s] : _sources) {
        if (s.info.name == name)
            return s.info;
    }
    return std::nullopt;
}

std::optional<SinkInfo> PulseModel::sink(const std::string& name) const {
    util::MutexLock lock(mutex_);
    for (const auto& [index, s] : _sinks) {
        if (s.info.name == name)
            return s.info;
    }
    return std::nullopt;
}

std::string PulseModel::defaultSinkName() const {
    util::MutexLock lock(mutex_);
    return _defaultSink;
}

AudioObjectId PulseModel::defaultInputId() const {
    util::MutexLock lock(mutex_);
    for (const auto& [index, s] : _sources) {
        if (!s.info.isMonitor && s.info.name == _defaultSource)
            return s.id;
    }
    return {};
}

std::vector<AudioObjectId> PulseModel::deviceIds() const {
    util::MutexLock lock(mutex_);
    std::vector<AudioObjectId> ids;
    for (const auto& [index, s] : _sinks)
        ids.push_back(s.id);
    for (const auto& [index, s] : _sources) {
        if (!s.info.isMonitor)
            ids.push_back(s.id);
    }
    return ids;
}

std::optional<DeviceView> PulseModel::device(AudioObjectId id) const {
    util::MutexLock lock(mutex_);
    for (const auto& [index, s] : _sources) {
        if (s.id == id && !s.info.isMonitor) {
            return DeviceView{id,
                              DeviceKind::source,
                              s.info.name,
                              s.info.description,
                              s.info.channels,
                              s.info.running};
        }
    }
    for (const auto& [index, s] : _sinks) {
        if (s.id == id)
            return DeviceView{id, DeviceKind::sink, s.info.name, s.info.description,
                              0,  s.info.running};
    }
    return std::nullopt;
}

const ClientInfo* PulseModel::clientLocked(const StreamInfo& stream) const {
    auto it = _clients.find(stream.client);
    return it != _clients.end() ? &it->second : nullptr;
}

std::optional<PulseModel::ProcessKey> PulseModel::processKeyLocked(const StreamInfo& stream) const {
    const ClientInfo* client = clientLocked(stream);
    const PidHints* hints = nullptr;
    std::optional<Pid> pid;
    if (stream.pid.server) {
        pid = stream.pid.server;
    } else if (client && client->pid.server) {
        pid = client->pid.server;
    } else if (stream.pid.claimed) {
        pid = stream.pid.claimed;
        hints = &stream.pid;
    } else if (client && client->pid.claimed) {
        pid = client->pid.claimed;
        hints = &client->pid;
    }
    if (!pid || *pid <= 0)
        return std::nullopt;
    // Two sandboxes may both claim pid 2: only the connection they came
    // through tells them apart.
    if (hints && hints->claimedElsewhere)
        return ProcessKey{*pid, stream.client};
    return ProcessKey{*pid};
}

std::string PulseModel::nameLocked(const StreamInfo& stream) const {
    const ClientInfo* client = clientLocked(stream);
    for (const std::string* name :
         {&stream.name.application, client ? &client->name.application : nullptr,
          &stream.name.binary, client ? &client->name.binary : nullptr}) {
        if (name && !name->empty())
            return *name;
    }
    return {};
}

bool PulseModel::recordsInputLocked(const StreamInfo& output) const {
    auto it = _sources.find(output.device);
    return !output.corked && it != _sources.end() && !it->second.info.isMonitor;
}

std::vector<PulseModel::ProcessState> PulseModel::processStatesLocked() const {
    std::vector<ProcessState> states;
    auto note = [&](const StreamInfo& stream, bool input) REQUIRES(mutex_) {
        const auto key = processKeyLocked(stream);
        if (!key)
            return;
        auto it = std::find_if(states.begin(), states.end(),
                               [&](const ProcessState& s) { return s.key == *key; });
        if (it == states.end()) {
            states.push_back({*key, input, nameLocked(stream)});
            return;
        }
        it->runningInput = it->runningInput || input;
        if (it->name.empty())
            it->name = nameLocked(stream);
    };
    for (const auto& [index, output] : _outputs)
        note(output, recordsInputLocked(output));
    for (const auto& [index, input] : _inputs)
        note(input, false);
    return states;
}

std::vector<ProcessView> PulseModel::processes() {
    util::MutexLock lock(mutex_);
    std::vector<ProcessView> out;
    if (!_available)
        return out;
    std::map<ProcessKey, AudioObjectId> ids;
    for (ProcessState& state : processStatesLocked()) {
        auto known = _processIds.find(state.key);
        const AudioObjectId id = known != _processIds.end() ? known->second : nextIdLocked();
        ids.emplace(state.key, id);
        out.push_back({id, state.key.pid, state.runningInput, std::move(state.name)});
    }
    // Processes without streams are gone: their ids go with them.
    _processIds = std::move(ids);
    return out;
}

std::optional<ProcessView> PulseModel::process(AudioObjectId id) const {
    util::MutexLock lock(mutex_);
    auto it = std::find_if(_processIds.begin(), _processIds.end(),
                           [id](const auto& entry) { return entry.second == id; });
    if (it == _processIds.end())
        return std::nullopt;
    for (ProcessState& state : processStatesLocked()) {
        if (state.key == it->first)
            return ProcessView{id, state.key.pid, state.runningInput, std::move(state.name)};
    }
    return std::nullopt;
}

}  // namespace ostrovane::platform::pulse
