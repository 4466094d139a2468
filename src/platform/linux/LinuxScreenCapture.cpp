#include "platform/linux/LinuxScreenCapture.h"

#include "platform/UnavailableCaptureStream.h"
#include "platform/pulse/SystemAudioStream.h"

namespace ostrovane::platform::pulse {

namespace {

constexpr std::int64_t kNoDisplayListCode = -3814;

Error noDisplays() {
    return Error{kCaptureErrorDomain, kNoDisplayListCode,
                 "Display capture is not available on this system"};
}

ContentFilter filterOf(std::variant<Display, Window> target, const Rect& frame) {
    return ContentFilter{std::move(target), frame, 1.0};
}

}  // namespace

bool LinuxScreenCapture::requestAccess() {
    // Nothing to ask for on this system; the display provider may know better.
    return video_ ? video_->requestAccess() : true;
}

void LinuxScreenCapture::shareableContent(
    const ShareableContentOptions& options,
    std::function<void(Result<ShareableContent>)> completion) {
    if (video_) {
        video_->shareableContent(options, std::move(completion));
        return;
    }
    connection_->events().async([completion = std::move(completion)] { completion(noDisplays()); });
}

ContentFilter LinuxScreenCapture::makeFilter(const Display& display) {
    return video_ ? video_->makeFilter(display) : filterOf(display, display.frame);
}

ContentFilter LinuxScreenCapture::makeFilter(const Window& window) {
    return video_ ? video_->makeFilter(window) : filterOf(window, window.frame);
}

std::shared_ptr<CaptureStream> LinuxScreenCapture::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration,
    StreamStopHandler onStop) {
    if (configuration.capturesAudio)
        return SystemAudioStream::create(connection_, configuration, std::move(onStop));
    if (video_)
        return video_->makeStream(filter, configuration, std::move(onStop));
    // Without a display provider a video stream can be configured but never starts.
    return std::make_shared<UnavailableCaptureStream>(configuration, connection_->events(),
                                                      noDisplays());
}

void LinuxScreenCapture::screenshot(const ContentFilter& filter,
                                    const StreamConfiguration& configuration,
                                    std::function<void(Result<Image>)> completion) {
    if (video_) {
        video_->screenshot(filter, configuration, std::move(completion));
        return;
    }
    connection_->events().async([completion = std::move(completion)] { completion(noDisplays()); });
}

std::optional<ContentFilter> LinuxScreenCapture::displaylessAudioFilter() {
    return filterOf(Display{}, Rect{});
}

ScreenList LinuxScreenCapture::screens() {
    return video_ ? video_->screens() : ScreenList{};
}

}  // namespace ostrovane::platform::pulse
