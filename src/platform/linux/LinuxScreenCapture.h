#pragma once

#include <memory>

#include "platform/ScreenCapture.h"
#include "platform/pulse/PulseConnection.h"

namespace ostrovane::platform::pulse {

// The screen-capture service of a Linux desktop: streams that capture audio
// record the system mix from the sound server; displays, windows, screen
// streams and screenshots come from `video` (the X11 provider) when one is
// given, and fail honestly (an error, no screens) when not.
class LinuxScreenCapture final : public ScreenCapture {
  public:
    LinuxScreenCapture(std::shared_ptr<PulseConnection> connection,
                       std::shared_ptr<ScreenCapture> video)
        : connection_(std::move(connection)), video_(std::move(video)) {}
    ~LinuxScreenCapture() override { connection_->settle(); }

    bool requestAccess() override;
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
    // The sound server's default output is recorded whatever the screens.
    std::optional<ContentFilter> displaylessAudioFilter() override;

  private:
    const std::shared_ptr<PulseConnection> connection_;
    const std::shared_ptr<ScreenCapture> video_;
};

}  // namespace ostrovane::platform::pulse
