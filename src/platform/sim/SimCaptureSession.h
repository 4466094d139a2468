#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "dispatch/RepeatingTimer.h"
#include "platform/AudioCaptureSession.h"
#include "platform/sim/PlatformThreads.h"

namespace ostrovane::platform::sim {

class SimAudio;

// A device opened as a session input.
class SimDeviceInput final : public CaptureDeviceInput {
  public:
    explicit SimDeviceInput(CaptureDevice device) : device_(std::move(device)) {}
    const CaptureDevice& device() const override { return device_; }

  private:
    CaptureDevice device_;
};

class SimAudioDataOutput final : public AudioDataOutput {
  public:
    void setSampleBufferHandler(SampleBufferHandler handler, dispatch::QueueRef queue) override;
    // Hands one buffer to the handler's queue.
    void deliver(const std::shared_ptr<const SampleBuffer>& buffer);

  private:
    std::mutex mutex_;
    SampleBufferHandler _handler;  // guarded by mutex_
    dispatch::QueueRef _queue;     // guarded by mutex_
};

// A capture session whose running input device produces one buffer per
// buffer period of the clock, made by the device's generator.
class SimCaptureSession final : public AudioCaptureSession,
                                public std::enable_shared_from_this<SimCaptureSession> {
  public:
    SimCaptureSession(std::weak_ptr<SimAudio> audio, std::shared_ptr<PlatformThreads> threads);
    ~SimCaptureSession() override;

    void setNotifications(SessionNotifications notifications) override;
    void beginConfiguration() override {}
    void commitConfiguration() override {}
    std::vector<std::shared_ptr<CaptureDeviceInput>> inputs() const override;
    bool canAddInput(const std::shared_ptr<CaptureDeviceInput>& input) const override;
    void addInput(std::shared_ptr<CaptureDeviceInput> input) override;
    void removeInput(const std::shared_ptr<CaptureDeviceInput>& input) override;
    std::vector<std::shared_ptr<AudioDataOutput>> outputs() const override;
    bool canAddOutput(const std::shared_ptr<AudioDataOutput>& output) const override;
    void addOutput(std::shared_ptr<AudioDataOutput> output) override;
    void startRunning() override;
    void stopRunning() override;
    bool isRunning() const override;

    // ---- driven by SimAudio ----
    // The uid of the device being captured, empty when not running.
    std::string capturingUid() const;
    void failAtRuntime(std::optional<Error> error);
    void interrupt(std::map<std::string, std::string> userInfo);
    void endInterruption();

  private:
    // Stops delivery; returns the uid that was captured (empty if none).
    std::string haltLocked(std::unique_ptr<dispatch::RepeatingTimer>& timer);
    void halt();
    void tick();

    std::weak_ptr<SimAudio> audio_;
    std::shared_ptr<PlatformThreads> threads_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<SimDeviceInput>> _inputs;       // guarded by mutex_
    std::vector<std::shared_ptr<SimAudioDataOutput>> _outputs;  // guarded by mutex_
    SessionNotifications _notifications;                        // guarded by mutex_
    std::string _capturingUid;                                  // guarded by mutex_; empty: stopped
    std::int64_t _slot = 0;                                     // guarded by mutex_
    std::int64_t _framesPerBuffer = 0;                          // guarded by mutex_
    StreamDescription _layout;                                  // guarded by mutex_
    bool _described = true;                                     // guarded by mutex_
    std::unique_ptr<dispatch::RepeatingTimer> _timer;           // guarded by mutex_
};

}  // namespace ostrovane::platform::sim
