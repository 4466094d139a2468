#include "video/ScreenVideoSource.h"

#include "platform/image/PngEncoder.h"
#include "util/NumberFormat.h"
#include "util/ThreadAnnotations.h"
#include "video/CaptureSize.h"

namespace ostrovane::video {

namespace {

std::string frameText(const platform::Rect& r) {
    return "(" + shortestDecimal(r.x) + ", " + shortestDecimal(r.y) + ", " +
           shortestDecimal(r.width) + ", " + shortestDecimal(r.height) + ")";
}

std::string idList(const std::vector<platform::Display>& displays) {
    std::string out = "[";
    for (std::size_t i = 0; i < displays.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += std::to_string(displays[i].displayId);
    }
    return out + "]";
}

// Content as start and switch query it: desktop windows and off-screen
// windows included, so any window the parent saw listed can be found.
constexpr platform::ShareableContentOptions kTargetQuery{false, false};

}  // namespace

std::shared_ptr<ScreenVideoSource> ScreenVideoSource::create(Dependencies dependencies,
                                                             Targets targets) {
    return std::make_shared<ScreenVideoSource>(Key{}, std::move(dependencies), targets);
}

ScreenVideoSource::ScreenVideoSource(Key, Dependencies dependencies, Targets targets)
    : screenCapture_(std::move(dependencies.screenCapture)),
      videoEncoders_(std::move(dependencies.videoEncoders)),
      text_(dependencies.text),
      frames_(dependencies.frames),
      targets_(targets),
      videoQueue_(dependencies.clock, "video.capture") {}

ScreenVideoSource::~ScreenVideoSource() {
    // A source released while running (a start that outlived its caller's
    // wait) must not leave a capture running with nobody to stop it.
    StreamPtr stream;
    EncoderPtr encoder;
    {
        util::MutexLock lock(stateLock_);
        stream = std::move(_stream);
        encoder = std::move(_compressionSession);
    }
    if (stream) {
        stream->removeOutput(platform::StreamOutputType::screen);
        stream->stopCapture([](platform::MaybeError) {});
    }
    if (encoder)
        encoder->invalidate();
}

// ---- start ----

void ScreenVideoSource::start(const std::string& targetType, std::uint32_t targetID,
                              Completion completion) {
    if (isActive()) {
        text_.logToStderr(std::string(kVideoLogPrefix) + "already active");
        completion(std::nullopt);
        return;
    }
    text_.logToStderr(std::string(kVideoLogPrefix) + "starting capture (" +
                      std::to_string(targets_.width) + "x" + std::to_string(targets_.height) +
                      " @" + std::to_string(targets_.fps) + "fps, " +
                      std::to_string(targets_.bitrate / 1000) + "kbps)");
    screenCapture_->shareableContent(
        kTargetQuery, [weak = weak_from_this(), targetType, targetID,
                       completion](const platform::Result<platform::ShareableContent>& content) {
            auto self = weak.lock();
            if (!self)
                return;
            std::optional<VideoError> result =
                content ? self->startWithContent(content.value(), targetType, targetID)
                        : std::optional<VideoError>(content.error());
            // The caller may drop the source as soon as it hears the answer;
            // the last reference must not go with this service thread.
            self.reset();
            completion(std::move(result));
        });
}

std::variant<ScreenVideoSource::ResolvedTarget, VideoSourceError> ScreenVideoSource::resolveTarget(
    const platform::ShareableContent& content, const std::string& targetType,
    std::uint32_t targetID) const {
    if (targetType == "display") {
        for (const platform::Display& display : content.displays) {
            if (display.displayId == targetID)
                return ResolvedTarget{screenCapture_->makeFilter(display), display};
        }
        return VideoSourceError::targetNotFound("Display " + std::to_string(targetID) +
                                                " not found");
    }
    for (const platform::Window& window : content.windows) {
        if (window.windowId == targetID)
            return ResolvedTarget{screenCapture_->makeFilter(window), std::nullopt};
    }
    return VideoSourceError::targetNotFound("Window " + std::to_string(targetID) + " not found");
}

std::optional<VideoError> ScreenVideoSource::startWithContent(
    const platform::ShareableContent& content, const std::string& targetType,
    std::uint32_t targetID) {
    text_.logToStderr(std::string(kVideoLogPrefix) + "requested target type=" + targetType +
                      " id=" + std::to_string(targetID) +
                      "; available displays=" + idList(content.displays));
    auto resolved = resolveTarget(content, targetType, targetID);
    if (auto* error = std::get_if<VideoSourceError>(&resolved))
        return *error;
    const ResolvedTarget& target = std::get<ResolvedTarget>(resolved);

    CaptureSize size{targets_.width, targets_.height};
    if (target.display) {
        const platform::Display& d = *target.display;
        text_.logToStderr(std::string(kVideoLogPrefix) +
                          "matched display id=" + std::to_string(d.displayId) +
                          " frame=" + frameText(d.frame) + " width=" + std::to_string(d.width) +
                          " height=" + std::to_string(d.height));
        size = displayCaptureSize(d, targets_.width, targets_.height);
        text_.logToStderr(std::string(kVideoLogPrefix) + "using config size " +
                          std::to_string(size.width) + "x" + std::to_string(size.height) +
                          " for display source " + std::to_string(d.width) + "x" +
                          std::to_string(d.height));
    }

    platform::StreamConfiguration configuration;
    configuration.width = size.width;
    configuration.height = size.height;
    configuration.minimumFrameInterval = {1, static_cast<std::int32_t>(targets_.fps)};
    configuration.pixelFormat = platform::PixelFormat::bgra32;
    configuration.scalesToFit = true;
    configuration.capturesAudio = false;
    configuration.showsCursor = true;

    if (auto error = createCompressionSession(size.width, size.height))
        return error;

    const auto weak = weak_from_this();
    StreamPtr stream = screenCapture_->makeStream(target.filter, configuration,
                                                  [weak](const platform::StreamStopError& error) {
                                                      if (auto self = weak.lock())
                                                          self->onStreamStopped(error);
                                                  });
    if (auto error = stream->addScreenOutput(
            [weak](const platform::ScreenSample& sample) {
                if (auto self = weak.lock())
                    self->intake(sample);
            },
            videoQueue_.ref())) {
        teardownStream(stream);
        // Nothing runs on the session that was just made; drop it.
        EncoderPtr encoder;
        {
            util::MutexLock lock(stateLock_);
            encoder = std::move(_compressionSession);
        }
        if (encoder)
            encoder->invalidate();
        return *error;
    }

    frameSequence_.store(0);
    {
        util::MutexLock lock(stateLock_);
        _captureStartTime.reset();
        _forceNextKeyframe = true;
        _keyframes.reset();
        _latestSampleBuffer.reset();
        _stream = stream;
        isActive_.store(true);
    }
    stream->startCapture([weak](const platform::MaybeError& error) {
        if (auto self = weak.lock())
            self->onStartCompleted(error);
    });
    return std::nullopt;
}

void ScreenVideoSource::onStartCompleted(const platform::MaybeError& error) {
    if (!error) {
        text_.logToStderr(std::string(kVideoLogPrefix) + "started successfully");
        return;
    }
    text_.logToStderr(std::string(kVideoLogPrefix) +
                      "startCapture completion error: " + error->description());
    videoQueue_.async(
        [weak = weak_from_this(), message = error->localizedDescription(), &text = text_] {
            if (auto self = weak.lock())
                self->forceCleanup();
            text.sendEvent("VIDEO_STREAM_ERROR:" + message);
        });
}

void ScreenVideoSource::onStreamStopped(const platform::StreamStopError& error) {
    text_.logToStderr(std::string(kVideoLogPrefix) +
                      "stream stopped with error: " + error.error.description());
    text_.sendEvent("VIDEO_STREAM_ERROR:" + error.error.localizedDescription());
    videoQueue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->stop();
    });
}

// ---- stop ----

void ScreenVideoSource::stop() {
    StreamPtr stream;
    {
        util::MutexLock lock(stateLock_);
        if (!isActive_.load())
            return;
        isActive_.store(false);
        stream = std::move(_stream);
    }
    text_.logToStderr(std::string(kVideoLogPrefix) + "stopping...");
    teardownStream(stream);
    commonTeardown();
}

void ScreenVideoSource::forceCleanup() {
    StreamPtr stream;
    {
        util::MutexLock lock(stateLock_);
        isActive_.store(false);
        stream = std::move(_stream);
    }
    text_.logToStderr(std::string(kVideoLogPrefix) +
                      "forceCleanup — stream=" + (stream ? "present" : "nil"));
    teardownStream(stream);
    commonTeardown();
}

void ScreenVideoSource::teardownStream(const StreamPtr& stream) {
    if (!stream)
        return;
    if (auto error = stream->removeOutput(platform::StreamOutputType::screen)) {
        text_.logToStderr(std::string(kVideoLogPrefix) +
                          "removeStreamOutput failed: " + error->description());
    }
    stream->stopCapture([&text = text_](const platform::MaybeError& error) {
        if (error) {
            text.logToStderr(std::string(kVideoLogPrefix) +
                             "stopCapture completion error: " + error->description());
        }
    });
}

void ScreenVideoSource::commonTeardown() {
    // Taken out under the lock so that a stop racing a clean-up (the
    // service's stop task against the command loop) finishes the session
    // exactly once.
    EncoderPtr encoder;
    {
        util::MutexLock lock(stateLock_);
        encoder = std::move(_compressionSession);
    }
    if (encoder) {
        encoder->completeFrames();
        encoder->invalidate();
    }
    {
        util::MutexLock lock(stateLock_);
        _latestSampleBuffer.reset();
        _cachedSPS.clear();
        _cachedPPS.clear();
    }
    text_.logToStderr(std::string(kVideoLogPrefix) + "stopped");
}

// ---- switch ----

void ScreenVideoSource::switchTarget(const std::string& targetType, std::uint32_t targetID,
                                     Completion completion) {
    std::optional<VideoError> refused;
    {
        util::MutexLock lock(stateLock_);
        if (!isActive_.load() || !_stream)
            refused = VideoSourceError::targetNotFound("No active stream");
        else if (_isSwitching)
            refused = VideoSourceError::targetNotFound("Switch already in progress");
        else
            _isSwitching = true;
    }
    if (refused) {
        completion(std::move(refused));
        return;
    }
    if (targetType != "display" && targetType != "window") {
        completion(
            finishSwitch(VideoSourceError::targetNotFound("Invalid target type: " + targetType)));
        return;
    }
    if (targetID == 0) {
        completion(finishSwitch(VideoSourceError::targetNotFound("Invalid target ID: 0")));
        return;
    }
    screenCapture_->shareableContent(
        kTargetQuery, [weak = weak_from_this(), targetType, targetID,
                       completion](const platform::Result<platform::ShareableContent>& content) {
            auto self = weak.lock();
            if (!self)
                return;
            std::optional<VideoError> failed =
                content ? self->switchWithContent(content.value(), targetType, targetID, completion)
                        : self->finishSwitch(content.error());
            self.reset();
            if (failed)
                completion(std::move(failed));
        });
}

std::optional<VideoError> ScreenVideoSource::switchWithContent(
    const platform::ShareableContent& content, const std::string& targetType,
    std::uint32_t targetID, Completion completion) {
    auto resolved = resolveTarget(content, targetType, targetID);
    if (auto* error = std::get_if<VideoSourceError>(&resolved))
        return finishSwitch(*error);
    StreamPtr stream;
    {
        util::MutexLock lock(stateLock_);
        stream = _stream;
    }
    if (!stream)
        return finishSwitch(VideoSourceError::targetNotFound("No active stream"));
    stream->updateContentFilter(
        std::get<ResolvedTarget>(resolved).filter, [weak = weak_from_this(), targetType, targetID,
                                                    completion](const platform::MaybeError& error) {
            auto self = weak.lock();
            if (!self)
                return;
            if (!error) {
                {
                    util::MutexLock lock(self->stateLock_);
                    self->_forceNextKeyframe = true;
                    self->_latestSampleBuffer.reset();
                }
                self->text_.logToStderr(std::string(kVideoLogPrefix) + "switched to " + targetType +
                                        ":" + std::to_string(targetID));
            }
            std::optional<VideoError> result =
                self->finishSwitch(error ? std::optional<VideoError>(*error) : std::nullopt);
            self.reset();
            completion(std::move(result));
        });
    return std::nullopt;
}

std::optional<VideoError> ScreenVideoSource::finishSwitch(std::optional<VideoError> error) {
    util::MutexLock lock(stateLock_);
    _isSwitching = false;
    return error;
}

// ---- snapshot ----

std::optional<std::vector<std::uint8_t>> ScreenVideoSource::snapshotPNG(std::int64_t maxWidth) {
    std::shared_ptr<const platform::Image> image;
    {
        util::MutexLock lock(stateLock_);
        if (!_latestSampleBuffer || !_latestSampleBuffer->isValid)
            return std::nullopt;
        image = _latestSampleBuffer->image;
    }
    if (!image || image->empty())
        return std::nullopt;

    std::vector<std::uint8_t> png;
    if (maxWidth >= 1 && image->width() > maxWidth) {
        const platform::ImageSize size = platform::fitWithinWidth(
            {image->width(), image->height()}, static_cast<std::uint32_t>(maxWidth));
        platform::Image scaled(size.width, size.height);
        util::MutexLock lock(snapshotLock_);
        if (!_snapshotScaler.scale(*image, scaled))
            return std::nullopt;
        png = platform::encodePng(scaled);
    } else {
        png = platform::encodePng(*image);
    }
    if (png.empty())
        return std::nullopt;
    return png;
}

}  // namespace ostrovane::video
