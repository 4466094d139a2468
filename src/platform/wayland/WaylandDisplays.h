#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "dispatch/SerialQueue.h"
#include "platform/ScreenCapture.h"
#include "platform/portal/PortalScreenCast.h"
#include "platform/wayland/WaylandOutputs.h"

namespace ostrovane::platform::wayland {

class PortalGrants;

// The screen-capture service of a Wayland session. Displays are the
// compositor's outputs, read without asking the user; a display's video
// comes through the desktop portal's ScreenCast and PipeWire, and the
// portal may ask the user once per display (restore tokens spare every
// later start the dialog). Windows are not listed. System audio is not
// here: the Linux provider serves audio streams from the sound server.
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
        portal::PortalOptions portal;
        // Where restore tokens are kept; empty: the default file of the
        // user's state directory.
        std::filesystem::path tokenFile;
        // One diagnostic line; none: standard error.
        std::function<void(std::string_view)> log;
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

    class Key {
        friend class WaylandDisplays;
        Key() = default;
    };
    WaylandDisplays(Key, dispatch::Clock& clock, Options options,
                    std::unique_ptr<WaylandOutputs> outputs);

  private:
    std::optional<std::vector<WaylandOutput>> readOutputs();
    std::optional<WaylandOutput> outputOf(const ContentFilter& filter) const;

    dispatch::Clock& clock_;
    const Options options_;
    const std::shared_ptr<PortalGrants> grants_;
    const std::shared_ptr<dispatch::SerialQueue> events_;
    mutable std::mutex mutex_;
    std::vector<WaylandOutput> _known;  // guarded by mutex_: the last outputs read
    // Used on queue_ only.
    std::unique_ptr<WaylandOutputs> outputs_;
    dispatch::SerialQueue queue_;  // last: stopped before the members its tasks use
};

}  // namespace ostrovane::platform::wayland
