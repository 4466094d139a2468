#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "dispatch/SerialQueue.h"
#include "platform/ScreenCapture.h"
#include "platform/portal/PortalScreenCast.h"
#include "platform/wayland/ToplevelWindows.h"
#include "platform/wayland/WaylandCaptureStream.h"
#include "platform/wayland/WaylandOutputs.h"
#include "platform/wayland/WaylandToplevels.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::wayland {

class PortalGrants;

// The screen-capture service of a Wayland session. Displays are the
// compositor's outputs, read without asking the user; a display's video
// comes through the desktop portal's ScreenCast and PipeWire, and the
// portal may ask the user once per display (restore tokens spare every
// later start the dialog). Windows are the compositor's toplevels where it
// lists them to clients (see WaylandToplevels), each framed by its output
// and owned by the application its app_id names. System audio is not here:
// the Linux provider serves audio streams from the sound server.
//
// Queries run on the provider's queue, which alone uses the query
// connection, and completions are called there. A stream is made with the
// portal's grant already asked for: makeStream waits for the user at most
// the portal's consent limit, and queries that arrive meanwhile wait too.
// Every other wait on the compositor, the bus or PipeWire is bounded by the
// timeout.
class WaylandDisplays final : public ScreenCapture,
                              public std::enable_shared_from_this<WaylandDisplays> {
  public:
    struct Options {
        std::string displayName;  // empty: $WAYLAND_DISPLAY
        std::chrono::milliseconds timeout{2000};
        // How long a still waits for its display's first image. A wlroots
        // compositor sends a cast's first image only once something on the
        // display changes, so a thumbnail waits less: a still display would
        // hold up every listing.
        std::chrono::milliseconds stillLimit{2000};
        std::chrono::milliseconds thumbnailLimit{250};
        // Whether the compositor may copy a granted display whose cast sends
        // nothing, where it offers that; off, such a still waits its limit.
        bool compositorCopy = true;
        portal::PortalOptions portal;
        // Where restore tokens are kept; empty: the default file of the
        // user's state directory.
        std::filesystem::path tokenFile;
        // One diagnostic line; none: standard error.
        std::function<void(std::string_view)> log;
        // Names the owners of windows; none: each is named by its app_id.
        ToplevelOwner owner;
    };

    // Null when no compositor answers.
    static std::shared_ptr<WaylandDisplays> connect(dispatch::Clock& clock, Options options);
    ~WaylandDisplays() override;

    bool requestAccess() override { return true; }
    void shareableContent(const ShareableContentOptions& options,
                          std::function<void(Result<ShareableContent>)> completion) override;
    ContentFilter makeFilter(const Display& display) override;
    ContentFilter makeFilter(const Window& window) override;
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              StreamStopHandler onStop) override;
    void screenshot(const ContentFilter& filter, const StreamConfiguration& configuration,
                    std::function<void(Result<Image>)> completion) override;
    ScreenList screens() override;

    // The toplevel behind a window of the last listing, from any thread.
    std::optional<WaylandToplevel> toplevelOf(WindowId id) const;

    class Key {
        friend class WaylandDisplays;
        Key() = default;
    };
    WaylandDisplays(Key, dispatch::Clock& clock, Options options,
                    std::unique_ptr<WaylandOutputs> outputs, bool screenCopy);

  private:
    std::optional<std::vector<WaylandOutput>> readOutputs();
    std::optional<std::vector<WaylandToplevel>> readToplevels();
    // The newest image of a display that a running stream films.
    std::optional<Image> filmedImageOf(std::uint32_t outputId);
    Result<Image> still(const WaylandOutput& output, const StreamConfiguration& configuration);
    // A granted display as it is now, copied by the compositor.
    Result<Image> copyOf(const WaylandOutput& output, bool showCursor);
    // Keeps a reduced copy of a display's newest image for its thumbnails.
    void remember(std::uint32_t outputId, const Image& image);
    std::optional<WaylandOutput> outputOf(const ContentFilter& filter) const;
    // What a stream films for `filter`, or why it cannot.
    Result<WaylandCaptureStream::Target> castTargetOf(const ContentFilter& filter);
    // Whether the portal films windows, asked once it answers.
    bool portalFilmsWindows();

    dispatch::Clock& clock_;
    const Options options_;
    const bool screenCopy_;  // the compositor copies outputs (wlroots)
    const std::shared_ptr<PortalGrants> grants_;
    const std::shared_ptr<dispatch::SerialQueue> events_;
    mutable util::Mutex mutex_;
    std::vector<WaylandOutput> _known GUARDED_BY(mutex_);        // the last outputs read
    std::vector<WaylandToplevel> _toplevels GUARDED_BY(mutex_);  // the last ones read
    // Guarded by mutex_: the streams made, which may answer screenshots.
    std::vector<std::weak_ptr<WaylandCaptureStream>> _streams;
    // Guarded by mutex_: each display as last seen, reduced, for thumbnails
    // of a display that sends nothing new.
    std::map<std::uint32_t, Image> _lastSeen;
    // Guarded by mutex_: whether the portal offers windows, once it said.
    std::optional<bool> _windowsOffered;
    // Guarded by mutex_: the compositor lists no windows, so the chosen
    // window stands for them.
    bool _chosenListed = false;
    // Used on queue_ only.
    std::unique_ptr<WaylandOutputs> outputs_;
    // On outputs_'s connection, so declared after it; made by the first
    // listing, so a session that never lists windows never asks for them.
    std::unique_ptr<WaylandToplevels> toplevels_;
    // Stills wait on the portal and PipeWire: two at a time, off queue_.
    std::atomic<unsigned> nextStill_{0};
    std::array<std::unique_ptr<dispatch::SerialQueue>, 2> stills_;
    dispatch::SerialQueue queue_;  // last: stopped before the members its tasks use
};

}  // namespace ostrovane::platform::wayland
