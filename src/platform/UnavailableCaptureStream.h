#pragma once

#include "dispatch/SerialQueue.h"
#include "platform/CaptureStream.h"

namespace ostrovane::platform {

// A capture stream that a provider cannot run: it can be configured, but
// starting it, stopping it or changing its target fails with `error`,
// reported on `events` like any completion. Audio outputs are refused.
class UnavailableCaptureStream final : public CaptureStream {
  public:
    UnavailableCaptureStream(StreamConfiguration configuration, dispatch::QueueRef events,
                             Error error)
        : configuration_(configuration), events_(std::move(events)), error_(std::move(error)) {}

    MaybeError addAudioOutput(AudioSampleHandler, dispatch::QueueRef) override { return error_; }
    MaybeError addScreenOutput(ScreenSampleHandler, dispatch::QueueRef) override {
        return std::nullopt;
    }
    MaybeError removeOutput(StreamOutputType) override { return std::nullopt; }
    void startCapture(StreamCompletion completion) override { fail(std::move(completion)); }
    void stopCapture(StreamCompletion completion) override { fail(std::move(completion)); }
    void updateContentFilter(const ContentFilter&, StreamCompletion completion) override {
        fail(std::move(completion));
    }
    const StreamConfiguration& configuration() const override { return configuration_; }

  private:
    void fail(StreamCompletion completion) {
        events_.async([completion = std::move(completion), error = error_] { completion(error); });
    }

    StreamConfiguration configuration_;
    dispatch::QueueRef events_;
    Error error_;
};

}  // namespace ostrovane::platform
