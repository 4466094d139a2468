#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "dispatch/RepeatingTimer.h"
#include "platform/AudioCaptureSession.h"
#include "platform/sim/PlatformThreads.h"
#include "util/ThreadAnnotations.h"

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
    util::Mutex mutex_;
    SampleBufferHandler _handler GUARDED_BY(mutex_);
    dispatch::QueueRef _queue GUARDED_BY(mutex_);
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
    std::string haltLocked(std::unique_ptr<dispatch::RepeatingTimer>& timer) REQUIRES(mutex_);
    void halt();
    void tick();

    std::weak_ptr<SimAudio> audio_;
    std::shared_ptr<PlatformThreads> threads_;
    mutable util::Mutex mutex_;
    std::vector<std::shared_ptr<SimDeviceInput>> _inputs GUARDED_BY(mutex_);
    std::vector<std::shared_ptr<SimAudioDataOutput>> _outputs GUARDED_BY(mutex_);
    SessionNotifications _notifications GUARDED_BY(mutex_);
    std::string _capturingUid GUARDED_BY(mutex_);  // empty: stopped
    std::int64_t _slot GUARDED_BY(mutex_) = 0;
    std::int64_t _framesPerBuffer GUARDED_BY(mutex_) = 0;
    StreamDescription _layout GUARDED_BY(mutex_);
    bool _described GUARDED_BY(mutex_) = true;
    std::unique_ptr<dispatch::RepeatingTimer> _timer GUARDED_BY(mutex_);
};

}  // namespace ostrovane::platform::sim
