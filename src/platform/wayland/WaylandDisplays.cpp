#include "platform/wayland/WaylandDisplays.h"

#include <unistd.h>

#include <algorithm>

#include "platform/portal/RestoreTokens.h"
#include "platform/wayland/PortalGrants.h"
#include "platform/wayland/WaylandCaptureStream.h"
#include "platform/wayland/WaylandErrors.h"

namespace ostrovane::platform::wayland {

namespace {
void logToStandardError(std::string_view line) {
    std::string text(line);
    text += '\n';
    // One write per line, as every text line of the helper.
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
}
}  // namespace

std::shared_ptr<WaylandDisplays> WaylandDisplays::connect(dispatch::Clock& clock, Options options) {
    if (!options.log)
        options.log = logToStandardError;
    if (options.tokenFile.empty())
        options.tokenFile = portal::RestoreTokens::defaultFile();
    auto outputs = WaylandOutputs::connect(options.displayName, options.timeout);
    if (!outputs)
        return nullptr;
    options.log(
        "WaylandScreenCapture: Wayland session: displays from the compositor, display "
        "video through the desktop portal");
    return std::make_shared<WaylandDisplays>(Key{}, clock, std::move(options), std::move(outputs));
}

WaylandDisplays::WaylandDisplays(Key, dispatch::Clock& clock, Options options,
                                 std::unique_ptr<WaylandOutputs> outputs)
    : clock_(clock),
      options_(std::move(options)),
      grants_(std::make_shared<PortalGrants>(options_.portal, options_.tokenFile, options_.log)),
      events_(std::make_shared<dispatch::SerialQueue>(clock, "wayland.events")),
      outputs_(std::move(outputs)),
      queue_(clock, "wayland.displays") {}

WaylandDisplays::~WaylandDisplays() = default;

std::optional<std::vector<WaylandOutput>> WaylandDisplays::readOutputs() {
    auto outputs = outputs_->read();
    if (outputs) {
        std::lock_guard lock(mutex_);
        _known = *outputs;
    }
    return outputs;
}

void WaylandDisplays::shareableContent(const ShareableContentOptions&,
                                       std::function<void(Result<ShareableContent>)> completion) {
    queue_.async([this, completion = std::move(completion)] {
        auto outputs = readOutputs();
        if (!outputs) {
            completion(compositorGoneError());
            return;
        }
        ShareableContent content;
        content.displays = displaysOf(monitorsOf(*outputs));
        completion(std::move(content));
    });
}

ContentFilter WaylandDisplays::makeFilter(const Display& display) {
    double scale = 1.0;
    if (auto output = outputOf(ContentFilter{display, {}, 1.0}))
        scale = output->scale;
    return ContentFilter{display, Rect{0, 0, display.frame.width, display.frame.height}, scale};
}

ContentFilter WaylandDisplays::makeFilter(const Window& window) {
    return ContentFilter{window, Rect{0, 0, window.frame.width, window.frame.height}, 1.0};
}

std::optional<WaylandOutput> WaylandDisplays::outputOf(const ContentFilter& filter) const {
    const auto* display = std::get_if<Display>(&filter.target);
    if (display == nullptr)
        return std::nullopt;
    std::lock_guard lock(mutex_);
    auto it = std::find_if(_known.begin(), _known.end(),
                           [&](const WaylandOutput& o) { return o.id == display->displayId; });
    if (it == _known.end())
        return std::nullopt;
    return *it;
}

std::shared_ptr<CaptureStream> WaylandDisplays::makeStream(const ContentFilter& filter,
                                                           const StreamConfiguration& configuration,
                                                           StreamStopHandler onStop) {
    // The display as last listed: the stream was asked for from that list.
    auto stream = std::make_shared<WaylandCaptureStream>(
        CastServices{clock_, options_.displayName, options_.timeout, grants_, events_},
        outputOf(filter), configuration, std::move(onStop));
    stream->setOutputLookup(
        [weak = weak_from_this()](const ContentFilter& next) -> std::optional<WaylandOutput> {
            auto self = weak.lock();
            return self ? self->outputOf(next) : std::nullopt;
        });
    stream->requestGrant();
    return stream;
}

void WaylandDisplays::screenshot(const ContentFilter&, const StreamConfiguration&,
                                 std::function<void(Result<Image>)> completion) {
    events_->async([completion = std::move(completion)] {
        completion(waylandError(kUnsupportedTargetCode,
                                "Screenshots of a Wayland session are not supported"));
    });
}

ScreenList WaylandDisplays::screens() {
    ScreenList list;
    queue_.sync([&] {
        if (auto outputs = readOutputs())
            list = screensOf(monitorsOf(*outputs));
    });
    return list;
}

}  // namespace ostrovane::platform::wayland
