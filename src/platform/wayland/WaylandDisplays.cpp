#include "platform/wayland/WaylandDisplays.h"

#include <unistd.h>
#include <cassert>

#include <algorithm>

#include "platform/image/ImageScaling.h"
#include "platform/image/StreamFrames.h"
#include "platform/portal/RestoreTokens.h"
#include "platform/wayland/DisplayStill.h"
#include "platform/wayland/OutputCopy.h"
#include "platform/wayland/PortalGrants.h"
#include "platform/wayland/WaylandCaptureStream.h"
#include "platform/wayland/WaylandErrors.h"
#include "protocol/TextChannel.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::wayland {

std::shared_ptr<WaylandDisplays> WaylandDisplays::connect(dispatch::Clock& clock, Options options) {
    if (!options.log)
        options.log = protocol::logLine;
    if (options.tokenFile.empty())
        options.tokenFile = portal::RestoreTokens::defaultFile();
    auto outputs = WaylandOutputs::connect(options.displayName, options.timeout);
    if (!outputs)
        return nullptr;
    const bool screenCopy = options.compositorCopy && OutputCopy(*outputs).offered();
    options.log(std::string("WaylandScreenCapture: Wayland session: displays from the compositor, "
                            "display video through the desktop portal") +
                (screenCopy ? ", first images of granted displays copied by the compositor" : ""));
    return std::make_shared<WaylandDisplays>(Key{}, clock, std::move(options), std::move(outputs),
                                             screenCopy);
}

WaylandDisplays::WaylandDisplays(Key, dispatch::Clock& clock, Options options,
                                 std::unique_ptr<WaylandOutputs> outputs, bool screenCopy)
    : clock_(clock),
      options_(std::move(options)),
      screenCopy_(screenCopy),
      grants_(std::make_shared<PortalGrants>(options_.portal, options_.tokenFile, options_.log)),
      events_(std::make_shared<dispatch::SerialQueue>(clock, "wayland.events")),
      outputs_(std::move(outputs)),
      stills_{std::make_unique<dispatch::SerialQueue>(clock, "wayland.stills"),
              std::make_unique<dispatch::SerialQueue>(clock, "wayland.stills")},
      queue_(clock, "wayland.displays") {}

WaylandDisplays::~WaylandDisplays() = default;

std::optional<std::vector<WaylandOutput>> WaylandDisplays::readOutputs() {
    assert(queue_.isCurrent());
    auto outputs = outputs_->read();
    if (outputs) {
        grants_->noteOutputs(*outputs);
        util::MutexLock lock(mutex_);
        _known = *outputs;
        std::erase_if(_lastSeen, [&](const auto& seen) {
            return std::none_of(outputs->begin(), outputs->end(),
                                [&](const WaylandOutput& o) { return o.id == seen.first; });
        });
    }
    return outputs;
}

void WaylandDisplays::shareableContent(const ShareableContentOptions& options,
                                       std::function<void(Result<ShareableContent>)> completion) {
    queue_.async([this, options, completion = std::move(completion)] {
        auto outputs = readOutputs();
        if (!outputs) {
            completion(compositorGoneError());
            return;
        }
        auto toplevels = readToplevels();
        if (!toplevels) {
            completion(compositorGoneError());
            return;
        }
        ShareableContent content;
        content.displays = displaysOf(monitorsOf(*outputs));
        content.windows = windowsOf(*toplevels, content.displays, options_.owner, options);
        const bool chosen = !toplevels_->listsWindows() && portalFilmsWindows();
        if (chosen)
            content.windows.push_back(chosenWindow(content.displays));
        {
            util::MutexLock lock(mutex_);
            _chosenListed = chosen;
        }
        completion(std::move(content));
    });
}

std::optional<std::vector<WaylandToplevel>> WaylandDisplays::readToplevels() {
    assert(queue_.isCurrent());
    if (!toplevels_)
        toplevels_ = std::make_unique<WaylandToplevels>(*outputs_);
    auto toplevels = toplevels_->read();
    if (toplevels) {
        util::MutexLock lock(mutex_);
        _toplevels = *toplevels;
    }
    return toplevels;
}

bool WaylandDisplays::portalFilmsWindows() {
    {
        util::MutexLock lock(mutex_);
        if (_windowsOffered)
            return *_windowsOffered;
    }
    auto offer = portal::readPortalOffer(options_.portal);
    if (!offer)
        return false;  // asked again at the next listing
    const bool windows = offer->offers(portal::SourceType::window);
    options_.log(std::string("WaylandScreenCapture: the compositor lists no windows; the desktop "
                             "portal ") +
                 (windows ? "films the window the user picks" : "films no windows"));
    util::MutexLock lock(mutex_);
    _windowsOffered = windows;
    return windows;
}

std::optional<WaylandToplevel> WaylandDisplays::toplevelOf(WindowId id) const {
    util::MutexLock lock(mutex_);
    if (id == kChosenWindowId && _chosenListed)
        return chosenToplevel();
    auto it = std::find_if(_toplevels.begin(), _toplevels.end(),
                           [&](const WaylandToplevel& t) { return t.id == id; });
    if (it == _toplevels.end())
        return std::nullopt;
    return *it;
}

ContentFilter WaylandDisplays::makeFilter(const Display& display) {
    double scale = 1.0;
    if (auto output = outputOf(ContentFilter{display, {}, 1.0}))
        scale = output->scale;
    return ContentFilter{display, Rect{0, 0, display.frame.width, display.frame.height}, scale};
}

ContentFilter WaylandDisplays::makeFilter(const Window& window) {
    // A window is drawn at the scale of the output it shows on first.
    double scale = 1.0;
    if (auto toplevel = toplevelOf(window.windowId); toplevel && !toplevel->outputs.empty()) {
        util::MutexLock lock(mutex_);
        for (const WaylandOutput& output : _known) {
            if (output.id == toplevel->outputs.front())
                scale = output.scale;
        }
    }
    return ContentFilter{window, Rect{0, 0, window.frame.width, window.frame.height}, scale};
}

std::optional<WaylandOutput> WaylandDisplays::outputOf(const ContentFilter& filter) const {
    const auto* display = std::get_if<Display>(&filter.target);
    if (display == nullptr)
        return std::nullopt;
    util::MutexLock lock(mutex_);
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
        CastServices{clock_, options_.displayName, options_.timeout, grants_, events_,
                     [weak = weak_from_this()](std::uint32_t outputId, const Image& image) {
                         if (auto self = weak.lock())
                             self->remember(outputId, image);
                     },
                     options_.log},
        outputOf(filter), configuration, std::move(onStop));
    stream->setTargetLookup([weak = weak_from_this()](const ContentFilter& next) {
        auto self = weak.lock();
        return self ? self->castTargetOf(next)
                    : Result<WaylandCaptureStream::Target>(targetUnavailableError());
    });
    if (std::holds_alternative<Window>(filter.target)) {
        auto target = castTargetOf(filter);
        if (!target)
            stream->refuse(target.error());
        else
            stream->filmWindow(std::move(*target->window));
    }
    {
        util::MutexLock lock(mutex_);
        std::erase_if(_streams, [](const auto& weak) { return weak.expired(); });
        _streams.push_back(stream);
    }
    stream->requestGrant();
    return stream;
}

Result<WaylandCaptureStream::Target> WaylandDisplays::castTargetOf(const ContentFilter& filter) {
    const auto* window = std::get_if<Window>(&filter.target);
    if (window == nullptr) {
        auto output = outputOf(filter);
        if (!output)
            return targetUnavailableError();
        return WaylandCaptureStream::Target{std::move(*output), std::nullopt};
    }
    // Windows are granted by the portal's own picker where it offers them
    // at all.
    auto toplevel = toplevelOf(window->windowId);
    if (!toplevel)
        return targetUnavailableError();
    auto offer = portal::readPortalOffer(options_.portal);
    if (!offer)
        return offer.error();
    if (!offer->offers(portal::SourceType::window))
        return waylandError(kUnsupportedTargetCode, "The desktop portal offers no window capture");
    return WaylandCaptureStream::Target{WaylandOutput{}, std::move(*toplevel)};
}

std::optional<Image> WaylandDisplays::filmedImageOf(std::uint32_t outputId) {
    std::vector<std::shared_ptr<WaylandCaptureStream>> streams;
    {
        util::MutexLock lock(mutex_);
        for (const auto& weak : _streams) {
            if (auto stream = weak.lock())
                streams.push_back(std::move(stream));
        }
    }
    for (const auto& stream : streams) {
        if (auto image = stream->latestImageOf(outputId))
            return image;
    }
    return std::nullopt;
}

namespace {
// Thumbnails are at most 240 pixels wide; twice that keeps them sharp.
constexpr std::uint32_t kLastSeenWidth = 480;
}  // namespace

void WaylandDisplays::remember(std::uint32_t outputId, const Image& image) {
    const ImageSize size = fitWithinWidth({image.width(), image.height()}, kLastSeenWidth);
    Image reduced = scale(image, size.width, size.height);
    util::MutexLock lock(mutex_);
    _lastSeen[outputId] = std::move(reduced);
}

Result<Image> WaylandDisplays::copyOf(const WaylandOutput& output, bool showCursor) {
    // Off the queue, so on a connection of its own.
    auto connection = WaylandOutputs::connect(options_.displayName, options_.timeout);
    if (!connection || !connection->read())
        return compositorGoneError();
    return OutputCopy(*connection).copy(output.id, showCursor, options_.timeout);
}

Result<Image> WaylandDisplays::still(const WaylandOutput& output,
                                     const StreamConfiguration& configuration) {
    // A filmed display answers from its stream, without a grant of its own.
    std::optional<Image> source = filmedImageOf(output.id);
    const bool thumbnail = !configuration.mayAskUser;
    bool seenBefore = false;
    if (!source) {
        const DisplayStill display{
            *grants_, options_.timeout, thumbnail ? options_.thumbnailLimit : options_.stillLimit,
            screenCopy_ ? DisplayStill::Copy([this](const WaylandOutput& o, bool cursor) {
                return copyOf(o, cursor);
            })
                        : DisplayStill::Copy()};
        auto taken = display.take(
            output, configuration.showsCursor,
            thumbnail ? PortalGrants::Consent::storedOnly : PortalGrants::Consent::mayAsk);
        if (taken) {
            source = std::move(taken.value());
        } else if (thumbnail && taken.error().code == kNoNewImageCode) {
            // Nothing changed on the display while we looked: its thumbnail
            // shows it as last seen, if it was.
            util::MutexLock lock(mutex_);
            if (auto it = _lastSeen.find(output.id); it != _lastSeen.end()) {
                source = it->second;
                seenBefore = true;
            }
        }
        if (!source)
            return taken.error();
    }
    if (!seenBefore)
        remember(output.id, *source);
    ImageScaler scaler;
    auto shot = scaleStill(*source, configuration, scaler);
    if (!shot)
        return targetUnavailableError();
    return std::move(*shot);
}

void WaylandDisplays::screenshot(const ContentFilter& filter,
                                 const StreamConfiguration& configuration,
                                 std::function<void(Result<Image>)> completion) {
    if (!std::holds_alternative<Display>(filter.target)) {
        events_->async([completion = std::move(completion)] {
            completion(waylandError(kUnsupportedTargetCode,
                                    "Stills of a window of a Wayland session are not taken"));
        });
        return;
    }
    std::optional<WaylandOutput> output = outputOf(filter);
    auto& queue = *stills_[nextStill_++ % stills_.size()];
    queue.async(
        [this, output = std::move(output), configuration, completion = std::move(completion)] {
            completion(output ? still(*output, configuration)
                              : Result<Image>(targetUnavailableError()));
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
