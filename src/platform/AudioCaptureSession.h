#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/SerialQueue.h"
#include "platform/AudioCaptureDevices.h"
#include "platform/PlatformError.h"
#include "platform/SampleBuffer.h"

namespace ostrovane::platform {

using SampleBufferHandler = std::function<void(std::shared_ptr<const SampleBuffer>)>;

// Delivers the captured buffers of the session it is added to.
class AudioDataOutput {
  public:
    virtual ~AudioDataOutput() = default;

    // Each buffer of the running session is passed to `handler` on `queue`,
    // in capture order, as one of the queue's tasks. A provider may run that
    // task on its own delivering thread while the queue is idle (nothing
    // else of the queue runs meanwhile), so the handler must not wait for the
    // capture service. Replacing the handler takes effect for the next
    // buffer; a buffer is dropped when the queue is gone.
    virtual void setSampleBufferHandler(SampleBufferHandler handler, dispatch::QueueRef queue) = 0;
};

// What the session reports about itself after it was started. Each handler
// runs on a platform thread, once per occurrence, and must only log and hand
// work to a queue.
struct SessionNotifications {
    // The error is missing when the service did not attach one.
    std::function<void(std::optional<Error>)> runtimeError;
    // The service's description of the interruption (possibly empty).
    std::function<void(std::map<std::string, std::string> userInfo)> interrupted;
    std::function<void()> interruptionEnded;
};

// A capture session: inputs and outputs configured in transactions, then run.
//
// Lifecycle: configure (begin, can-add test, add, commit) → startRunning →
// stopRunning; it may be reconfigured and restarted any number of times.
// Configuration and running calls are made from one serial queue of the
// owner. startRunning returns when the attempt is over; isRunning then tells
// whether it succeeded. After stopRunning returns no further buffer is handed
// to an output's queue (buffers already queued still run).
class AudioCaptureSession {
  public:
    virtual ~AudioCaptureSession() = default;

    virtual void setNotifications(SessionNotifications notifications) = 0;

    virtual void beginConfiguration() = 0;
    virtual void commitConfiguration() = 0;

    virtual std::vector<std::shared_ptr<CaptureDeviceInput>> inputs() const = 0;
    virtual bool canAddInput(const std::shared_ptr<CaptureDeviceInput>& input) const = 0;
    // Only after canAddInput said yes.
    virtual void addInput(std::shared_ptr<CaptureDeviceInput> input) = 0;
    virtual void removeInput(const std::shared_ptr<CaptureDeviceInput>& input) = 0;

    virtual std::vector<std::shared_ptr<AudioDataOutput>> outputs() const = 0;
    virtual bool canAddOutput(const std::shared_ptr<AudioDataOutput>& output) const = 0;
    // Only after canAddOutput said yes.
    virtual void addOutput(std::shared_ptr<AudioDataOutput> output) = 0;

    virtual void startRunning() = 0;
    virtual void stopRunning() = 0;
    virtual bool isRunning() const = 0;
    // Why the last startRunning left the session stopped, when the service
    // says; nothing after a start that runs.
    virtual std::optional<Error> startError() const { return std::nullopt; }
};

}  // namespace ostrovane::platform
