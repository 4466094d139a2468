#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/BackgroundTask.h"
#include "dispatch/SerialQueue.h"
#include "platform/CaptureStream.h"
#include "platform/image/Image.h"
#include "platform/wayland/PortalGrants.h"
#include "platform/wayland/WaylandOutputs.h"

namespace ostrovane::platform::pipewire {
class PipeWireVideoStream;
}
namespace ostrovane::platform::portal {
class PortalSession;
}

namespace ostrovane::platform::wayland {

// What the streams of one provider share.
struct CastServices {
    dispatch::Clock& clock;
    std::string displayName;  // the compositor
    std::chrono::milliseconds timeout;
    std::shared_ptr<PortalGrants> grants;
    std::shared_ptr<dispatch::SerialQueue> events;
};

// A stream of images of one display of a Wayland session. The desktop
// portal grants the display (requestGrant, before the stream is started:
// the user may be asked) and hands out a PipeWire node, which a consumer
// reads in shared memory. While capturing, one thread takes the newest image
// at the minimum frame interval, scales it into the configured size and
// hands it to the screen output's queue; a screen that shows nothing new
// sends no images, so the last one is handed out again at the interval.
//
// A switch to another display asks the portal for that display and
// replaces the session; the old one keeps running until the new one is
// granted. The stream stops by itself, with an error on `events`, when the
// portal closes the session (the user stopped sharing, the desktop went
// away), the PipeWire stream fails, the display is removed (the
// display-unavailable code) or the compositor goes away. Completions and
// the stop handler run on `events`.
class WaylandCaptureStream final : public CaptureStream {
  public:
    WaylandCaptureStream(CastServices services, std::optional<WaylandOutput> output,
                         StreamConfiguration configuration, StreamStopHandler onStop);
    ~WaylandCaptureStream() override;

    // Asks the portal for the stream's display and waits for the answer. A
    // refusal is kept: the screen output is then refused with it, so that a
    // start fails at once with the user's answer.
    void requestGrant();

    MaybeError addAudioOutput(AudioSampleHandler handler, dispatch::QueueRef queue) override;
    MaybeError addScreenOutput(ScreenSampleHandler handler, dispatch::QueueRef queue) override;
    MaybeError removeOutput(StreamOutputType type) override;
    void startCapture(StreamCompletion completion) override;
    void stopCapture(StreamCompletion completion) override;
    void updateContentFilter(const ContentFilter& filter, StreamCompletion completion) override;
    const StreamConfiguration& configuration() const override { return configuration_; }

    // Called by the provider for a switch: the display the filter names, if
    // it still exists.
    using OutputLookup = std::function<std::optional<WaylandOutput>(const ContentFilter&)>;
    void setOutputLookup(OutputLookup lookup) { lookup_ = std::move(lookup); }

  private:
    struct FilterChange {
        ContentFilter filter;
        StreamCompletion completion;
    };
    // What one granted display streams through.
    struct Cast;

    Result<std::unique_ptr<portal::PortalSession>> grant(const WaylandOutput& output);
    Result<std::unique_ptr<Cast>> open(std::unique_ptr<portal::PortalSession> session,
                                       const WaylandOutput& output);
    void run(dispatch::BackgroundTask::Context& context, StreamCompletion started);
    // Applies queued switches; whether the stream now shows another display.
    bool applyFilterChanges(std::unique_ptr<Cast>& cast);
    void deliver(std::shared_ptr<const Image> frame, MediaTime time);
    void complete(StreamCompletion completion, MaybeError error);
    bool halt();
    void failStart(StreamCompletion started, const Error& error);
    void stopByItself(const Error& error);
    // Called from the portal's and PipeWire's threads.
    void noteFailure(const Error& error);

    CastServices services_;
    const StreamConfiguration configuration_;
    const StreamStopHandler onStop_;
    OutputLookup lookup_;

    mutable std::mutex mutex_;
    std::optional<WaylandOutput> _output;                // guarded by mutex_
    std::optional<Error> _refusal;                       // guarded by mutex_
    std::optional<Error> _failure;                       // guarded by mutex_
    std::unique_ptr<portal::PortalSession> _granted;     // guarded by mutex_
    std::vector<FilterChange> _filterChanges;            // guarded by mutex_
    ScreenSampleHandler _handler;                        // guarded by mutex_
    dispatch::QueueRef _queue;                           // guarded by mutex_
    bool _capturing = false;                             // guarded by mutex_
    std::unique_ptr<dispatch::BackgroundTask> _grabber;  // guarded by mutex_
};

}  // namespace ostrovane::platform::wayland
