#include "platform/sim/SimScreen.h"

#include <algorithm>

#include "platform/sim/SimCaptureStream.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::sim {

namespace {

std::uint32_t targetId(const ContentFilter& filter) {
    if (auto* d = std::get_if<Display>(&filter.target))
        return d->displayId;
    return std::get<Window>(filter.target).windowId;
}

}  // namespace

Image syntheticImage(const ContentFilter& filter, std::int64_t width, std::int64_t height) {
    Image image(static_cast<std::uint32_t>(std::max<std::int64_t>(width, 0)),
                static_cast<std::uint32_t>(std::max<std::int64_t>(height, 0)));
    const std::uint32_t id = targetId(filter);
    const bool isWindow = std::holds_alternative<Window>(filter.target);
    const std::uint8_t b = static_cast<std::uint8_t>(id * 37);
    const std::uint8_t g = static_cast<std::uint8_t>(id * 91);
    const std::uint8_t r = isWindow ? 200 : 40;
    for (std::uint32_t y = 0; y < image.height(); ++y) {
        std::uint8_t* row = image.row(y);
        for (std::uint32_t x = 0; x < image.width(); ++x) {
            row[4 * x] = b;
            row[4 * x + 1] = g;
            row[4 * x + 2] = r;
            row[4 * x + 3] = 255;
        }
    }
    return image;
}

SimScreen::SimScreen(std::shared_ptr<PlatformThreads> threads) : threads_(std::move(threads)) {}

SimScreen::~SimScreen() = default;

// ---- scripting: content ----

void SimScreen::addDisplay(SimDisplaySpec spec) {
    util::MutexLock lock(mutex_);
    _displays.push_back(std::move(spec));
}

void SimScreen::removeDisplay(DisplayId id) {
    {
        util::MutexLock lock(mutex_);
        std::erase_if(_displays, [id](const SimDisplaySpec& d) { return d.id == id; });
    }
    for (const auto& stream : liveStreams()) {
        const ContentFilter f = stream->filter();
        if (auto* d = std::get_if<Display>(&f.target); d && d->displayId == id) {
            stream->failWith(kStreamDisplayUnavailableCode, "The display is not available");
        }
    }
}

void SimScreen::addWindow(Window window) {
    util::MutexLock lock(mutex_);
    _windows.push_back(std::move(window));
}

void SimScreen::removeWindow(WindowId id) {
    util::MutexLock lock(mutex_);
    std::erase_if(_windows, [id](const Window& w) { return w.windowId == id; });
}

// ---- scripting: answers and faults ----

void SimScreen::setPermission(bool granted) {
    util::MutexLock lock(mutex_);
    _permission = granted;
}

void SimScreen::failShareableContent(std::optional<Error> error) {
    util::MutexLock lock(mutex_);
    _contentError = std::move(error);
}

void SimScreen::setStartOutcome(SimOutcome outcome) {
    util::MutexLock lock(mutex_);
    _startOutcome = std::move(outcome);
}

void SimScreen::pushStartOutcome(SimOutcome outcome) {
    util::MutexLock lock(mutex_);
    _queuedStartOutcomes.push_back(std::move(outcome));
}

void SimScreen::setUpdateOutcome(SimOutcome outcome) {
    util::MutexLock lock(mutex_);
    _updateOutcome = std::move(outcome);
}

void SimScreen::failAddOutput(std::optional<Error> error) {
    util::MutexLock lock(mutex_);
    _addOutputError = std::move(error);
}

void SimScreen::failScreenshot(std::optional<Error> error) {
    util::MutexLock lock(mutex_);
    _screenshotError = std::move(error);
}

void SimScreen::failScreenshotsOf(WindowId id) {
    util::MutexLock lock(mutex_);
    _unrenderableWindows.push_back(id);
}

void SimScreen::setSystemAudio(SampleGenerator generator, std::int64_t framesPerBuffer) {
    util::MutexLock lock(mutex_);
    _systemAudio = std::move(generator);
    _systemAudioFrames = framesPerBuffer;
}

void SimScreen::stopStreams(std::int64_t code, const std::string& message) {
    for (const auto& stream : liveStreams())
        stream->failWith(code, message);
}

// ---- observation ----

std::vector<std::shared_ptr<SimCaptureStream>> SimScreen::liveStreams() const {
    util::MutexLock lock(mutex_);
    std::vector<std::shared_ptr<SimCaptureStream>> out;
    for (const auto& weak : _streams) {
        if (auto s = weak.lock())
            out.push_back(std::move(s));
    }
    return out;
}

std::vector<std::shared_ptr<SimCaptureStream>> SimScreen::streams() const {
    return liveStreams();
}

std::size_t SimScreen::capturingStreams() const {
    auto all = liveStreams();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [](const auto& s) { return s->isCapturing(); }));
}

std::int64_t SimScreen::streamsMade() const {
    util::MutexLock lock(mutex_);
    return _streamsMade;
}

std::int64_t SimScreen::accessRequests() const {
    util::MutexLock lock(mutex_);
    return _accessRequests;
}

std::int64_t SimScreen::contentQueries() const {
    util::MutexLock lock(mutex_);
    return _contentQueries;
}

std::int64_t SimScreen::screenshotsTaken() const {
    util::MutexLock lock(mutex_);
    return _screenshots;
}

// ---- ScreenCapture ----

bool SimScreen::requestAccess() {
    util::MutexLock lock(mutex_);
    ++_accessRequests;
    return _permission;
}

void SimScreen::shareableContent(const ShareableContentOptions& options,
                                 std::function<void(Result<ShareableContent>)> completion) {
    std::optional<Result<ShareableContent>> answer;
    {
        util::MutexLock lock(mutex_);
        ++_contentQueries;
        if (_contentError) {
            answer.emplace(*_contentError);
        } else {
            ShareableContent content;
            for (const SimDisplaySpec& d : _displays) {
                content.displays.push_back(Display{d.id, d.width, d.height, d.frame});
            }
            for (const Window& w : _windows) {
                if (options.onScreenWindowsOnly && !w.isOnScreen)
                    continue;
                if (options.excludeDesktopWindows && w.isDesktopWindow)
                    continue;
                content.windows.push_back(w);
            }
            answer.emplace(std::move(content));
        }
    }
    bool held;
    {
        util::MutexLock lock(mutex_);
        held = _holdContent;
    }
    this->answer(held, [completion = std::move(completion), answer = std::move(*answer)] {
        completion(answer);
    });
}

ContentFilter SimScreen::makeFilter(const Display& display) {
    util::MutexLock lock(mutex_);
    double scale = 1.0;
    for (const SimDisplaySpec& d : _displays) {
        if (d.id == display.displayId)
            scale = d.pointPixelScale;
    }
    return ContentFilter{display, Rect{0, 0, display.frame.width, display.frame.height}, scale};
}

ContentFilter SimScreen::makeFilter(const Window& window) {
    util::MutexLock lock(mutex_);
    double scale = 1.0;
    // The scale of the display under the window's origin.
    for (const SimDisplaySpec& d : _displays) {
        const Rect& f = d.frame;
        if (window.frame.x >= f.x && window.frame.x < f.x + f.width && window.frame.y >= f.y &&
            window.frame.y < f.y + f.height) {
            scale = d.pointPixelScale;
            break;
        }
    }
    return ContentFilter{window, Rect{0, 0, window.frame.width, window.frame.height}, scale};
}

std::shared_ptr<CaptureStream> SimScreen::makeStream(const ContentFilter& filter,
                                                     const StreamConfiguration& configuration,
                                                     StreamStopHandler onStop) {
    auto stream = std::make_shared<SimCaptureStream>(weak_from_this(), threads_, filter,
                                                     configuration, std::move(onStop));
    util::MutexLock lock(mutex_);
    std::erase_if(_streams, [](const auto& w) { return w.expired(); });
    _streams.push_back(stream);
    ++_streamsMade;
    return stream;
}

void SimScreen::screenshot(const ContentFilter& filter, const StreamConfiguration& configuration,
                           std::function<void(Result<Image>)> completion) {
    std::optional<Error> error;
    {
        util::MutexLock lock(mutex_);
        ++_screenshots;
        error = _screenshotError;
        const auto* window = std::get_if<Window>(&filter.target);
        if (window && std::find(_unrenderableWindows.begin(), _unrenderableWindows.end(),
                                window->windowId) != _unrenderableWindows.end()) {
            error = Error{"SCStreamErrorDomain", -3801, "The window cannot be rendered"};
        }
    }
    if (!error && !targetExists(filter)) {
        error = Error{"SCStreamErrorDomain", kStreamDisplayUnavailableCode,
                      "The capture target is not available"};
    }
    threads_->service.async([completion = std::move(completion), error, filter,
                             width = configuration.width, height = configuration.height] {
        if (error) {
            completion(*error);
        } else {
            completion(syntheticImage(filter, width, height));
        }
    });
}

ScreenList SimScreen::screens() {
    util::MutexLock lock(mutex_);
    ScreenList list;
    for (const SimDisplaySpec& d : _displays) {
        if (!d.screenName)
            continue;
        if (d.isMain)
            list.mainScreen = list.screens.size();
        list.screens.push_back(Screen{d.id, *d.screenName, d.frame});
    }
    return list;
}

// ---- used by the streams ----

void SimScreen::answerStart(std::function<void()> answer) {
    bool held;
    {
        util::MutexLock lock(mutex_);
        held = _holdStarts;
    }
    this->answer(held, std::move(answer));
}

void SimScreen::answer(bool held, std::function<void()> answer) {
    if (held) {
        util::MutexLock lock(mutex_);
        _heldAnswers.push_back(std::move(answer));
        return;
    }
    threads_->service.async(std::move(answer));
}

void SimScreen::holdStartAnswers(bool hold) {
    util::MutexLock lock(mutex_);
    _holdStarts = hold;
}

void SimScreen::holdContentAnswers(bool hold) {
    util::MutexLock lock(mutex_);
    _holdContent = hold;
}

std::size_t SimScreen::heldAnswers() const {
    util::MutexLock lock(mutex_);
    return _heldAnswers.size();
}

void SimScreen::releaseHeldAnswers() {
    std::deque<std::function<void()>> due;
    {
        util::MutexLock lock(mutex_);
        due.swap(_heldAnswers);
    }
    for (auto& answer : due)
        threads_->service.async(std::move(answer));
}

SimOutcome SimScreen::nextStartOutcome() {
    util::MutexLock lock(mutex_);
    if (_queuedStartOutcomes.empty())
        return _startOutcome;
    SimOutcome next = std::move(_queuedStartOutcomes.front());
    _queuedStartOutcomes.pop_front();
    return next;
}

SimOutcome SimScreen::updateOutcome() const {
    util::MutexLock lock(mutex_);
    return _updateOutcome;
}

std::optional<Error> SimScreen::addOutputFault() const {
    util::MutexLock lock(mutex_);
    return _addOutputError;
}

bool SimScreen::targetExists(const ContentFilter& filter) const {
    util::MutexLock lock(mutex_);
    if (auto* d = std::get_if<Display>(&filter.target)) {
        return std::any_of(_displays.begin(), _displays.end(),
                           [&](const SimDisplaySpec& s) { return s.id == d->displayId; });
    }
    const WindowId id = std::get<Window>(filter.target).windowId;
    return std::any_of(_windows.begin(), _windows.end(),
                       [&](const Window& w) { return w.windowId == id; });
}

SampleGenerator SimScreen::systemAudio() const {
    util::MutexLock lock(mutex_);
    return _systemAudio;
}

void SimScreen::setStill(bool still) {
    util::MutexLock lock(mutex_);
    _still = still;
}

void SimScreen::repaint() {
    util::MutexLock lock(mutex_);
    ++_repaints;
}

std::optional<std::uint64_t> SimScreen::pictureRevision() const {
    util::MutexLock lock(mutex_);
    return _still ? std::optional<std::uint64_t>(_repaints) : std::nullopt;
}

std::int64_t SimScreen::systemAudioFrames() const {
    util::MutexLock lock(mutex_);
    return _systemAudioFrames;
}

}  // namespace ostrovane::platform::sim
