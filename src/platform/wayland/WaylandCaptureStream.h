#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "dispatch/SerialQueue.h"
#include "platform/screens/ThreadedCaptureStream.h"
#include "platform/wayland/PortalGrants.h"
#include "platform/wayland/WaylandOutputs.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pipewire {
class PipeWireVideoStream;
}
namespace ostrovane::platform::portal {
class PortalSession;
}

namespace ostrovane::platform::wayland {

class OutputCopy;

// What the streams of one provider share.
struct CastServices {
    dispatch::Clock& clock;
    std::string displayName;  // the compositor
    std::chrono::milliseconds timeout;
    std::shared_ptr<PortalGrants> grants;
    std::shared_ptr<dispatch::SerialQueue> events;
    // Told a display's last image when a stream of it ends; may be empty.
    std::function<void(std::uint32_t outputId, const Image& image)> lastImage;
    // One diagnostic line.
    std::function<void(std::string_view)> log;
};

// A stream of images of one display, or one window, of a Wayland session. The desktop
// portal grants the display (requestGrant, before the stream is started:
// the user may be asked) and hands out a PipeWire node, which a consumer
// reads in shared memory. While capturing, one thread takes the newest image
// at the minimum frame interval, scales it into the configured size and
// hands it to the screen output's queue when it is new (FrameCadence: the
// last one again once a second while the screen stands still). A stream
// that sends no image within 5 s of its start stops by itself.
//
// A switch to another display asks the portal for that display and
// replaces the session; the old one keeps running until the new one is
// granted. The stream stops by itself when the portal closes the session
// (the user stopped sharing, the desktop went away), the PipeWire stream
// fails, the display is removed (the display-unavailable code) or the
// compositor goes away.
class WaylandCaptureStream final : public ThreadedCaptureStream {
  public:
    WaylandCaptureStream(CastServices services, std::optional<WaylandOutput> output,
                         StreamConfiguration configuration, StreamStopHandler onStop);
    ~WaylandCaptureStream() override;

    // Asks the portal for the stream's display and waits for the answer. A
    // refusal is kept: the screen output is then refused with it, so that a
    // start fails at once with the user's answer.
    void requestGrant();
    // Films `toplevel` instead of a display: the portal's picker grants a
    // window (before requestGrant).
    void filmWindow(WaylandToplevel toplevel);
    // Refuses the stream before it asks anything (a target the desktop
    // cannot film).
    void refuse(Error error);

    // What a filter names, if it still exists and can be filmed: a display,
    // or a window (then `output` is none, id 0). Used for switches.
    struct Target {
        WaylandOutput output;
        std::optional<WaylandToplevel> window;
    };
    using TargetLookup = std::function<Result<Target>(const ContentFilter&)>;
    void setTargetLookup(TargetLookup lookup) { lookup_ = std::move(lookup); }

    // A copy of the newest full-size image of display `outputId`, when the
    // stream is filming that display and has received one: screenshots of
    // a filmed display need no grant of their own. Any thread.
    std::optional<Image> latestImageOf(std::uint32_t outputId) const;

  private:
    // What one granted display streams through.
    struct Cast;

    void run(dispatch::BackgroundTask::Context& context, StreamCompletion started) override;
    MaybeError filterWhileStoppedLocked(const ContentFilter& filter) override REQUIRES(mutex_);
    std::optional<Error> refusalLocked() const override REQUIRES(mutex_) { return _refusal; }

    Result<std::unique_ptr<portal::PortalSession>> grant(const GrantTarget& target);
    GrantTarget targetLocked() const REQUIRES(mutex_);
    static GrantTarget grantTargetOf(const Target& target);
    Result<std::unique_ptr<Cast>> open(std::unique_ptr<portal::PortalSession> session,
                                       const WaylandOutput& output);
    // Applies queued switches; whether the stream now shows another display.
    bool applyFilterChanges(std::unique_ptr<Cast>& cast);
    // Called from PipeWire's and the portal's threads.
    void noteFailure(const Error& error);
    void noteSessionEnd(const Error& error);
    // Why the stream ended, once that is known; nothing while it runs.
    std::optional<Error> endOf(WaylandOutputs& outputs, dispatch::Duration now,
                               std::optional<dispatch::Duration>& causeDue);
    Error silentError() const;
    // Takes the cast display's picture now where the compositor can copy it
    // (a cast there sends nothing until something changes): whether it did.
    bool seedFromCopy(OutputCopy& copier, const Cast& cast);

    CastServices services_;
    TargetLookup lookup_;

    std::optional<WaylandOutput> _output GUARDED_BY(mutex_);
    std::optional<WaylandToplevel> _window GUARDED_BY(mutex_);  // filmed instead
    std::optional<Error> _refusal GUARDED_BY(mutex_);
    std::optional<Error> _failure GUARDED_BY(mutex_);     // the stream's
    std::optional<Error> _sessionEnd GUARDED_BY(mutex_);  // the portal's
    std::unique_ptr<portal::PortalSession> _granted GUARDED_BY(mutex_);

    // The newest image as received, written by the capturing thread under
    // grabMutex_ only, so that screenshots may copy it meanwhile.
    mutable util::Mutex grabMutex_;
    // The capturing thread writes _grabbed, so it may read it unlocked.
    const Image& grabbedOnCaptureThread() const NO_THREAD_SAFETY_ANALYSIS { return _grabbed; }
    Image _grabbed GUARDED_BY(grabMutex_);
    std::optional<std::uint32_t> _grabbedOutput GUARDED_BY(grabMutex_);  // whose it is
};

}  // namespace ostrovane::platform::wayland
