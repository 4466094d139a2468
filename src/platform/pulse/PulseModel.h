#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Applications.h"
#include "platform/AudioCaptureDevices.h"
#include "platform/AudioHardware.h"
#include "platform/audio/AudioFormat.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pulse {

// Where a stream's process id came from. A server-derived pid (taken from the
// peer's socket credentials) beats the one the client claims for itself.
struct PidHints {
    std::optional<Pid> server;
    std::optional<Pid> claimed;
    // The claimed pid is no process of ours running the client's executable:
    // a pid of another pid namespace (a Flatpak sandbox says 2 or so), which
    // other sandboxed clients may claim as well.
    bool claimedElsewhere = false;
};

// What a stream or client says its program is called: the name the program
// gives itself (`application.name`; libpulse fills in the executable's name
// when a program sets none) and the executable's file name
// (`application.process.binary`, symlinks resolved: `parec` is `pacat`, a
// Python program is `python3`). Either may be empty.
struct NameHints {
    std::string application;
    std::string binary;
};

struct SourceInfo {
    std::uint32_t index = 0;
    std::string name;
    std::string description;
    bool isMonitor = false;
    std::uint32_t channels = 0;
    // The format a record stream on this source delivers (see recordSpecFor).
    std::optional<StreamDescription> recordFormat;
    bool running = false;
};

struct SinkInfo {
    std::uint32_t index = 0;
    std::string name;
    std::string description;
    std::string monitorSource;
    bool running = false;
};

// A source-output (recording) or sink-input (playback) stream of a client.
struct StreamInfo {
    std::uint32_t index = 0;
    std::uint32_t device = 0;  // source or sink index
    std::uint32_t client = 0;
    bool corked = false;
    PidHints pid;
    NameHints name;
};

struct ClientInfo {
    std::uint32_t index = 0;
    PidHints pid;
    NameHints name;
};

// What one update changed, for the hardware listeners and the streams.
struct ModelChanges {
    bool deviceList = false;
    bool defaultInput = false;
    bool defaultOutput = false;
    bool processes = false;
    std::vector<AudioObjectId> running;  // devices whose running state flipped

    bool any() const {
        return deviceList || defaultInput || defaultOutput || processes || !running.empty();
    }
    void merge(const ModelChanges& other);
};

enum class DeviceKind { source, sink };

// A device as the hardware object model shows it.
struct DeviceView {
    AudioObjectId id;
    DeviceKind kind = DeviceKind::source;
    std::string name;
    std::string description;
    std::uint32_t inputChannels = 0;  // 0 for sinks
    bool running = false;
};

struct ProcessView {
    AudioObjectId id;
    Pid pid = 0;
    bool runningInput = false;
    // The program's name: the application's own, else the executable's, from
    // the stream first and then its client; empty when nobody says.
    std::string name;
};

// The provider's mirror of the sound server: sources, sinks, streams, clients
// and the defaults, kept current from subscription events by the connection,
// and the 32-bit object ids handed out for them.
//
// Ids are never 0 or 1 (the system object), are unique across sources, sinks
// and processes, and are not reused while the provider lives. A device keeps
// its id for as long as the server keeps its index; a process keeps its id
// while it has a stream. Monitor sources are part of their sink: they are
// neither capture devices nor hardware devices.
//
// Thread-safe: updates come from the connection's main loop thread, reads from
// any thread.
class PulseModel {
  public:
    // ---- updates ----
    // Connected and fully listed, or not: an unavailable model answers reads
    // with nothing.
    ModelChanges setAvailable(bool available);
    ModelChanges putSource(SourceInfo info);
    ModelChanges removeSource(std::uint32_t index);
    ModelChanges putSink(SinkInfo info);
    ModelChanges removeSink(std::uint32_t index);
    ModelChanges setDefaults(std::string source, std::string sink);
    ModelChanges putSourceOutput(StreamInfo info);
    ModelChanges removeSourceOutput(std::uint32_t index);
    ModelChanges putSinkInput(StreamInfo info);
    ModelChanges removeSinkInput(std::uint32_t index);
    ModelChanges putClient(ClientInfo info);
    ModelChanges removeClient(std::uint32_t index);

    // ---- reads ----
    bool available() const;
    // Non-monitor sources in the server's order.
    std::vector<CaptureDevice> captureDevices() const;
    std::optional<CaptureDevice> defaultCaptureDevice() const;
    std::optional<SourceInfo> source(const std::string& name) const;
    std::optional<SinkInfo> sink(const std::string& name) const;
    std::string defaultSinkName() const;
    // The default input's id; a zero id when the default is a monitor or unknown.
    AudioObjectId defaultInputId() const;
    // Sinks and non-monitor sources, in the server's order (sinks first).
    std::vector<AudioObjectId> deviceIds() const;
    std::optional<DeviceView> device(AudioObjectId id) const;
    // Processes with a stream, in order of their first stream.
    std::vector<ProcessView> processes();
    std::optional<ProcessView> process(AudioObjectId id) const;

  private:
    struct Source {
        SourceInfo info;
        AudioObjectId id;
    };
    struct Sink {
        SinkInfo info;
        AudioObjectId id;
    };

    // A process as the model tells processes apart: by pid, and a pid of
    // another pid namespace only together with its client.
    struct ProcessKey {
        Pid pid = 0;
        std::uint32_t client = kAnyClient;
        static constexpr std::uint32_t kAnyClient = UINT32_MAX;
        auto operator<=>(const ProcessKey&) const = default;
    };

    AudioObjectId nextIdLocked() REQUIRES(mutex_);
    std::optional<ProcessKey> processKeyLocked(const StreamInfo& stream) const REQUIRES(mutex_);
    bool recordsInputLocked(const StreamInfo& output) const REQUIRES(mutex_);
    const ClientInfo* clientLocked(const StreamInfo& stream) const REQUIRES(mutex_);
    std::string nameLocked(const StreamInfo& stream) const REQUIRES(mutex_);
    struct ProcessState {
        ProcessKey key;
        bool runningInput = false;
        std::string name;
    };
    std::vector<ProcessState> processStatesLocked() const REQUIRES(mutex_);

    mutable util::Mutex mutex_;
    bool _available GUARDED_BY(mutex_) = false;
    std::map<std::uint32_t, Source> _sources GUARDED_BY(mutex_);  // by server index
    std::map<std::uint32_t, Sink> _sinks GUARDED_BY(mutex_);
    std::map<std::uint32_t, StreamInfo> _outputs GUARDED_BY(mutex_);  // source-outputs
    std::map<std::uint32_t, StreamInfo> _inputs GUARDED_BY(mutex_);   // sink-inputs
    std::map<std::uint32_t, ClientInfo> _clients GUARDED_BY(mutex_);
    std::string _defaultSource GUARDED_BY(mutex_);
    std::string _defaultSink GUARDED_BY(mutex_);
    std::map<ProcessKey, AudioObjectId> _processIds GUARDED_BY(mutex_);
    std::uint32_t _nextId GUARDED_BY(mutex_) = 0x100;
};

}  // namespace ostrovane::platform::pulse
