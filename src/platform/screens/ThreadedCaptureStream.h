#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/BackgroundTask.h"
#include "dispatch/SerialQueue.h"
#include "platform/CaptureStream.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform {

// A screen stream whose images come from one capturing thread of its own.
// What every such provider does alike lives here: the screen output, start
// and stop (stop joins the thread, so nothing is handed out once it
// returns), filter changes queued for the thread while it captures,
// completions and the stop handler on `events` (never on the capturing
// thread, so a receiver may stop or drop the stream from them), and the stop
// by itself. The provider's run() captures.
//
// A derived stream calls halt() first in its destructor: the thread runs
// the derived run().
class ThreadedCaptureStream : public CaptureStream {
  public:
    struct Texts {
        std::string domain;        // of this stream's own errors
        std::string audioRefusal;  // why audio outputs are refused
    };

    ThreadedCaptureStream(dispatch::Clock& clock, std::shared_ptr<dispatch::SerialQueue> events,
                          StreamConfiguration configuration, StreamStopHandler onStop, Texts texts);
    ~ThreadedCaptureStream() override;

    MaybeError addAudioOutput(AudioSampleHandler handler, dispatch::QueueRef queue) override;
    MaybeError addScreenOutput(ScreenSampleHandler handler, dispatch::QueueRef queue) override;
    MaybeError removeOutput(StreamOutputType type) override;
    void startCapture(StreamCompletion completion) override;
    void stopCapture(StreamCompletion completion) override;
    void updateContentFilter(const ContentFilter& filter, StreamCompletion completion) override;
    const StreamConfiguration& configuration() const override { return configuration_; }

  protected:
    struct FilterChange {
        ContentFilter filter;
        StreamCompletion completion;
    };

    // The capturing thread's body: answers `started` once capture runs (or
    // through failStart), then captures until a stop is requested.
    virtual void run(dispatch::BackgroundTask::Context& context, StreamCompletion started) = 0;
    // A filter change while not capturing.
    virtual MaybeError filterWhileStoppedLocked(const ContentFilter& filter) REQUIRES(mutex_) = 0;
    // Why the stream cannot run at all.
    virtual std::optional<Error> refusalLocked() const REQUIRES(mutex_) { return std::nullopt; }

    Error error(std::int64_t code, const char* message) const;
    // Time between frames: the minimum frame interval, 1/60 s when unset.
    dispatch::Duration framePeriod() const;
    // Calls `completion` with `error` on the events queue.
    void complete(StreamCompletion completion, MaybeError error);
    // Ends capturing and joins the thread; whether it was capturing.
    bool halt();
    // The capture could not begin: the start and queued switches fail.
    void failStart(StreamCompletion started, const Error& error);
    // The capture ended by itself: queued switches fail, the stop handler hears it.
    void stopByItself(const Error& error);
    std::vector<FilterChange> takeFilterChanges();
    // Hands a frame to the screen output, unless the stream stopped or the
    // output was removed.
    void deliver(std::shared_ptr<const Image> frame, MediaTime time);

    const std::shared_ptr<dispatch::SerialQueue> events_;
    mutable util::Mutex mutex_;

  private:
    dispatch::Clock& clock_;
    const StreamConfiguration configuration_;
    const StreamStopHandler onStop_;
    const Texts texts_;

    std::vector<FilterChange> _filterChanges GUARDED_BY(mutex_);
    ScreenSampleHandler _handler GUARDED_BY(mutex_);
    dispatch::QueueRef _queue GUARDED_BY(mutex_);
    bool _capturing GUARDED_BY(mutex_) = false;
    // Guarded by mutex_: the last run ended by itself (its stop handler was
    // told), so stopping it is already done and it takes no new target
    // until it is started again.
    bool _stoppedByItself = false;
    std::unique_ptr<dispatch::BackgroundTask> _grabber GUARDED_BY(mutex_);
};

}  // namespace ostrovane::platform
