#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ScreenCapture.h"
#include "platform/sim/PlatformThreads.h"
#include "platform/sim/SampleGenerators.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::sim {

class SimCaptureStream;

// How the service answers one request: at once, with an error, or never.
struct SimOutcome {
    enum class Kind { succeed, fail, never };
    Kind kind = Kind::succeed;
    Error error;

    static SimOutcome succeed() { return {}; }
    static SimOutcome fail(Error e) { return {Kind::fail, std::move(e)}; }
    static SimOutcome never() { return {Kind::never, {}}; }
};

// A display and the operating-system screen that shows it.
struct SimDisplaySpec {
    DisplayId id = 1;
    std::int64_t width = 1920;  // points
    std::int64_t height = 1080;
    Rect frame{0, 0, 1920, 1080};
    double pointPixelScale = 1.0;
    // The screen's name; nothing: the window system lists no screen for it.
    std::optional<std::string> screenName = std::string("Sim Display");
    bool isMain = false;
};

// The screen-capture service of one simulated machine: displays, windows,
// streams of synthetic images and system audio, and their faults.
class SimScreen final : public ScreenCapture, public std::enable_shared_from_this<SimScreen> {
  public:
    explicit SimScreen(std::shared_ptr<PlatformThreads> threads);
    ~SimScreen() override;

    // ---- scripting: content ----
    void addDisplay(SimDisplaySpec spec);
    // Streams showing the display stop with the display-unavailable code.
    void removeDisplay(DisplayId id);
    void addWindow(Window window);
    void removeWindow(WindowId id);

    // ---- scripting: the picture ----
    // The picture changes at every frame interval unless the screen is held
    // still; a still screen changes only when repainted.
    void setStill(bool still);
    void repaint();

    // ---- scripting: answers and faults ----
    void setPermission(bool granted);
    void failShareableContent(std::optional<Error> error);  // nothing heals
    // Start outcomes: queued one-shot answers first, then the default.
    void setStartOutcome(SimOutcome outcome);
    void pushStartOutcome(SimOutcome outcome);
    void setUpdateOutcome(SimOutcome outcome);
    // Start confirmations, or content answers, wait until released (so a stop
    // can overtake them); released answers arrive on the service queue.
    void holdStartAnswers(bool hold);
    void holdContentAnswers(bool hold);
    std::size_t heldAnswers() const;
    void releaseHeldAnswers();
    void failAddOutput(std::optional<Error> error);
    void failScreenshot(std::optional<Error> error);
    // Screenshots of this window fail (a window that cannot be rendered).
    void failScreenshotsOf(WindowId id);
    // What audio outputs deliver (float, non-interleaved, at the configured
    // rate and channel count).
    void setSystemAudio(SampleGenerator generator, std::int64_t framesPerBuffer = 960);
    // Every capturing stream stops by itself with `code`.
    void stopStreams(std::int64_t code, const std::string& message = "The stream stopped");

    // ---- observation ----
    std::vector<std::shared_ptr<SimCaptureStream>> streams() const;  // live ones, oldest first
    std::size_t capturingStreams() const;
    std::int64_t streamsMade() const;  // replaced and released ones included
    std::int64_t accessRequests() const;
    std::int64_t contentQueries() const;
    std::int64_t screenshotsTaken() const;

    // ---- ScreenCapture ----
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

    // ---- used by the streams ----
    SimOutcome nextStartOutcome();
    SimOutcome updateOutcome() const;
    std::optional<Error> addOutputFault() const;
    bool targetExists(const ContentFilter& filter) const;
    void answerStart(std::function<void()> answer);
    SampleGenerator systemAudio() const;
    std::int64_t systemAudioFrames() const;
    // How often a still screen was repainted; nothing while it moves.
    std::optional<std::uint64_t> pictureRevision() const;

  private:
    std::vector<std::shared_ptr<SimCaptureStream>> liveStreams() const;
    void answer(bool held, std::function<void()> answer);

    std::shared_ptr<PlatformThreads> threads_;
    mutable util::Mutex mutex_;
    std::vector<SimDisplaySpec> _displays GUARDED_BY(mutex_);
    std::vector<Window> _windows GUARDED_BY(mutex_);
    std::vector<std::weak_ptr<SimCaptureStream>> _streams GUARDED_BY(mutex_);
    bool _permission GUARDED_BY(mutex_) = true;
    std::optional<Error> _contentError GUARDED_BY(mutex_);
    SimOutcome _startOutcome GUARDED_BY(mutex_);
    std::deque<SimOutcome> _queuedStartOutcomes GUARDED_BY(mutex_);
    SimOutcome _updateOutcome GUARDED_BY(mutex_);
    std::optional<Error> _addOutputError GUARDED_BY(mutex_);
    std::optional<Error> _screenshotError GUARDED_BY(mutex_);
    std::vector<WindowId> _unrenderableWindows GUARDED_BY(mutex_);
    SampleGenerator _systemAudio GUARDED_BY(mutex_) = generators::tone(440, 0.1);
    std::int64_t _systemAudioFrames GUARDED_BY(mutex_) = 960;
    std::int64_t _accessRequests GUARDED_BY(mutex_) = 0;
    std::int64_t _contentQueries GUARDED_BY(mutex_) = 0;
    std::int64_t _screenshots GUARDED_BY(mutex_) = 0;
    std::int64_t _streamsMade GUARDED_BY(mutex_) = 0;
    bool _still GUARDED_BY(mutex_) = false;
    std::uint64_t _repaints GUARDED_BY(mutex_) = 0;
    bool _holdStarts GUARDED_BY(mutex_) = false;
    bool _holdContent GUARDED_BY(mutex_) = false;
    std::deque<std::function<void()>> _heldAnswers;  // guarded by mutex_
};

// A synthetic picture of a capture target: one colour derived from the
// target's id, so tests can tell targets apart.
Image syntheticImage(const ContentFilter& filter, std::int64_t width, std::int64_t height);

}  // namespace ostrovane::platform::sim
