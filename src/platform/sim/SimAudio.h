#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Applications.h"
#include "platform/AudioCaptureDevices.h"
#include "platform/AudioCaptureSession.h"
#include "platform/AudioHardware.h"
#include "platform/sim/PlatformThreads.h"
#include "platform/sim/SampleGenerators.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::sim {

class SimCaptureSession;

// Status of a read on an object that does not exist (the hardware's '!obj').
inline constexpr HardwareStatus kBadObjectStatus = 0x216F626A;

// A scripted audio device. By default a mono float microphone at 48 kHz
// delivering a quiet 440 Hz tone in 10 ms buffers.
struct SimDeviceSpec {
    std::string uid;
    std::string name;
    // The real layout of the device's bytes.
    StreamDescription format{48000, 1, 32, true, false, false, true, true};
    // False: buffers arrive without a stream description.
    bool describable = true;
    std::int64_t framesPerBuffer = 480;
    // False for an output-only device: not discovered as a microphone, no
    // input streams.
    bool isInput = true;
    SampleGenerator generator = generators::tone(440, 0.25);
};

// Faults of one device's capture path.
struct SimDeviceFaults {
    std::optional<Error> inputCreationError;  // makeInput fails with it
    bool refuseInput = false;                 // canAddInput says no
    bool failToStart = false;                 // a session on it does not run
};

// Reads that can be made to fail with a status.
enum class SimRead { defaultInput, deviceList, processList };

// Microphones, capture sessions and the audio hardware object model of one
// simulated machine. Scripting methods may be called from the test thread at
// any time; every change notifies the listeners of the property it changes
// on the simulated hardware thread.
class SimAudio final : public AudioCaptureDevices,
                       public AudioHardware,
                       public std::enable_shared_from_this<SimAudio> {
  public:
    explicit SimAudio(std::shared_ptr<PlatformThreads> threads);
    ~SimAudio() override;

    // ---- scripting: devices ----
    AudioObjectId addDevice(SimDeviceSpec spec);
    // Sessions capturing a removed device keep running and deliver nothing.
    void removeDevice(const std::string& uid);
    void setDefaultInput(std::optional<std::string> uid);
    // Running state caused by other processes; our own sessions add to the
    // input and global scopes.
    void setRunning(const std::string& uid, Scope scope, bool running);
    void setGenerator(const std::string& uid, SampleGenerator generator);
    void setFaults(const std::string& uid, SimDeviceFaults faults);
    void setPermission(bool granted);
    // Permission answers wait until released (so the asker can go away
    // meanwhile); released ones carry the permission of that moment. Returns
    // how many were released.
    void holdPermissionAnswers(bool hold);
    std::size_t releasePermissionAnswers();
    void refuseOutputs(bool refuse);
    // A non-zero status makes that read fail; 0 heals it.
    void failRead(SimRead read, HardwareStatus status);

    // ---- scripting: events of the sessions capturing a device ----
    // The session stops running and reports the error (or none).
    void raiseRuntimeError(const std::string& uid, std::optional<Error> error);
    // The session stops running until it is started again.
    void interrupt(const std::string& uid, std::map<std::string, std::string> userInfo = {});
    void endInterruption(const std::string& uid);

    // ---- scripting: audio processes ----
    AudioObjectId addProcess(Pid pid, bool inputRunning);
    void setProcessInput(Pid pid, bool inputRunning);
    void removeProcess(Pid pid);

    // ---- observation ----
    std::optional<AudioObjectId> objectId(const std::string& uid) const;
    std::size_t listenerCount() const;
    std::size_t runningSessions(const std::string& uid) const;
    std::int64_t permissionRequests() const;

    // ---- AudioCaptureDevices ----
    void requestAccess(std::function<void(bool)> answer) override;
    std::optional<CaptureDevice> defaultDevice() override;
    std::vector<CaptureDevice> discoverDevices() override;
    Result<std::shared_ptr<CaptureDeviceInput>> makeInput(const CaptureDevice& device) override;
    std::shared_ptr<AudioDataOutput> makeAudioDataOutput() override;
    std::shared_ptr<AudioCaptureSession> makeSession() override;

    // ---- AudioHardware ----
    PropertyRead<AudioObjectId> defaultInputDevice() override;
    PropertyRead<std::vector<AudioObjectId>> devices() override;
    PropertyRead<std::string> deviceUID(AudioObjectId device) override;
    PropertyRead<std::string> deviceName(AudioObjectId device) override;
    PropertyRead<std::uint32_t> isRunningSomewhere(AudioObjectId device, Scope scope) override;
    PropertyRead<std::vector<std::uint32_t>> inputStreamChannels(AudioObjectId device) override;
    PropertyRead<std::vector<AudioObjectId>> processObjects() override;
    PropertyRead<std::int32_t> processPid(AudioObjectId process) override;
    PropertyRead<std::uint32_t> processIsRunningInput(AudioObjectId process) override;
    PropertyRead<ListenerRegistration> addListener(const PropertyAddress& address,
                                                   std::function<void()> onChange) override;
    HardwareStatus removeListener(const ListenerRegistration& registration) override;

    // ---- used by the sessions ----
    struct CaptureSetup {
        StreamDescription layout;
        bool described = true;
        std::int64_t framesPerBuffer = 0;
    };
    // Nothing when a session cannot run on the device.
    std::optional<CaptureSetup> captureSetup(const std::string& uid) const;
    // The device's current generator; nothing when the device is gone.
    SampleGenerator generator(const std::string& uid) const;
    bool outputsRefused() const;
    bool inputRefused(const std::string& uid) const;
    void sessionRunningChanged(const std::string& uid, int delta);

  private:
    struct Device {
        SimDeviceSpec spec;
        AudioObjectId id;
        SimDeviceFaults faults;
        std::array<bool, 3> scriptedRunning{};  // by Scope
        int ownSessions = 0;
    };
    struct Process {
        Pid pid;
        AudioObjectId id;
        bool inputRunning;
    };
    struct Listener {
        PropertyAddress address;
        std::function<void()> onChange;
    };

    // Collects the listeners of `property` on `object`; post() calls them on
    // the hardware thread.
    void notifyLocked(AudioObjectId object, HardwareProperty property,
                      std::vector<std::uint64_t>& out) const REQUIRES(mutex_);
    void post(const std::vector<std::uint64_t>& listenerIds);
    std::vector<std::shared_ptr<SimCaptureSession>> sessionsOn(const std::string& uid);

    const Device* findLocked(AudioObjectId id) const REQUIRES(mutex_);
    Device* findLocked(const std::string& uid) REQUIRES(mutex_);
    const Device* findLocked(const std::string& uid) const REQUIRES(mutex_);
    std::uint32_t runningLocked(const Device& d, Scope scope) const REQUIRES(mutex_);

    std::shared_ptr<PlatformThreads> threads_;
    mutable util::Mutex mutex_;
    std::vector<Device> _devices GUARDED_BY(mutex_);
    std::optional<std::string> _defaultUid GUARDED_BY(mutex_);
    std::vector<Process> _processes GUARDED_BY(mutex_);
    std::map<std::uint64_t, Listener> _listeners GUARDED_BY(mutex_);
    std::vector<std::weak_ptr<SimCaptureSession>> _sessions GUARDED_BY(mutex_);
    std::map<SimRead, HardwareStatus> _readFaults GUARDED_BY(mutex_);
    bool _permission GUARDED_BY(mutex_) = true;
    bool _refuseOutputs GUARDED_BY(mutex_) = false;
    std::int64_t _permissionRequests GUARDED_BY(mutex_) = 0;
    bool _holdPermission GUARDED_BY(mutex_) = false;
    std::vector<std::function<void(bool)>> _heldPermission GUARDED_BY(mutex_);
    std::uint32_t _nextObjectId GUARDED_BY(mutex_) = 40;
    std::uint64_t _nextListenerId GUARDED_BY(mutex_) = 1;
};

}  // namespace ostrovane::platform::sim
