// The H.264 half of the video source: the encoder session, the intake of
// captured images, and the way encoded access units become video frames.
#include "util/ThreadAnnotations.h"
#include "video/AnnexB.h"
#include "video/ScreenVideoSource.h"

namespace ostrovane::video {

namespace {

// Microseconds from `start` to `time`, truncated toward zero; a time before
// the start gives 0. Exact for any pair of timescales.
std::uint64_t microsecondsSince(const platform::MediaTime& start, const platform::MediaTime& time) {
    if (!start.isValid() || !time.isValid())
        return 0;
    const __int128 numerator = static_cast<__int128>(time.value) * start.timescale -
                               static_cast<__int128>(start.value) * time.timescale;
    if (numerator <= 0)
        return 0;
    const __int128 denominator = static_cast<__int128>(time.timescale) * start.timescale;
    return static_cast<std::uint64_t>(numerator * 1'000'000 / denominator);
}

// Repetitive lines: the first few, then every 500th.
bool worthLogging(std::uint64_t count) {
    return count <= 3 || count % 500 == 0;
}

}  // namespace

std::optional<VideoError> ScreenVideoSource::createCompressionSession(std::int64_t width,
                                                                      std::int64_t height) {
    platform::VideoEncoderSettings settings;
    settings.width = static_cast<std::int32_t>(width);
    settings.height = static_cast<std::int32_t>(height);
    settings.averageBitrate = targets_.bitrate;
    settings.maxKeyframeInterval = static_cast<std::int32_t>(targets_.fps);
    settings.frameRate = static_cast<std::int32_t>(targets_.fps);
    platform::VideoEncoderCreation created =
        videoEncoders_ ? videoEncoders_->create(settings) : platform::VideoEncoderCreation{-1, {}};
    if (created.status != 0 || !created.encoder) {
        return VideoSourceError::encoderCreationFailed(created.status != 0 ? created.status : -1);
    }
    {
        util::MutexLock lock(stateLock_);
        _compressionSession = std::move(created.encoder);
    }
    text_.logToStderr(std::string(kVideoLogPrefix) + "H264 encoder created (Main Profile, " +
                      std::to_string(targets_.bitrate / 1000) + "kbps, IDR every " +
                      std::to_string(targets_.fps) + " frames)");
    return std::nullopt;
}

void ScreenVideoSource::intake(const platform::ScreenSample& sample) {
    if (!isActive() || !sample.isValid || !sample.image)
        return;
    EncoderPtr encoder;
    bool forceKeyframe = false;
    {
        util::MutexLock lock(stateLock_);
        // Kept by reference: the snapshot reads the same pixels later.
        _latestSampleBuffer = sample;
        if (!_captureStartTime)
            _captureStartTime = sample.presentationTime;
        encoder = _compressionSession;
        if (encoder) {
            forceKeyframe = _forceNextKeyframe || _keyframes.isDue(sample.presentationTime);
            _forceNextKeyframe = false;
        }
    }
    if (encoder)
        submit(encoder, sample, forceKeyframe);
}

void ScreenVideoSource::submit(const EncoderPtr& encoder, const platform::ScreenSample& sample,
                               bool forceKeyframe) {
    const platform::EncoderStatus status =
        encoder->encode(*sample.image, sample.presentationTime,
                        {1, static_cast<std::int32_t>(targets_.fps)}, forceKeyframe,
                        [weak = weak_from_this()](platform::EncoderStatus s,
                                                  std::optional<platform::EncodedFrame> frame) {
                            if (auto self = weak.lock())
                                self->handleEncodedFrame(s, std::move(frame));
                        });
    if (status == 0) {
        util::MutexLock lock(stateLock_);
        _keyframes.submitted(sample.presentationTime, forceKeyframe);
        return;
    }
    if (forceKeyframe) {
        // The image that was to be the keyframe never reached the encoder:
        // the next one must be, or a reader joining now waits a whole interval.
        util::MutexLock lock(stateLock_);
        _forceNextKeyframe = true;
    }
    if (status == platform::kEncoderBusy) {
        countDroppedImage();
        return;
    }
    if (isActive())
        text_.logToStderr(std::string(kVideoLogPrefix) + "encode error " + std::to_string(status));
}

void ScreenVideoSource::countDroppedImage() {
    const std::uint64_t dropped = droppedImages_.fetch_add(1) + 1;
    if (worthLogging(dropped)) {
        text_.logToStderr(
            std::string(kVideoLogPrefix) +
            "encoder busy, image dropped (dropped so far: " + std::to_string(dropped) + ")");
    }
}

void ScreenVideoSource::handleEncodedFrame(platform::EncoderStatus status,
                                           std::optional<platform::EncodedFrame> frame) {
    if (status != 0) {
        text_.logToStderr(std::string(kVideoLogPrefix) + "encoder output error " +
                          std::to_string(status));
        return;
    }
    if (!frame || frame->data.empty())
        return;

    std::uint64_t pts = 0;
    std::vector<std::uint8_t> sps, pps;
    {
        util::MutexLock lock(stateLock_);
        if (_captureStartTime)
            pts = microsecondsSince(*_captureStartTime, frame->presentationTime);
        if (frame->isKeyframe && frame->parameterSets) {
            if (!frame->parameterSets->sps.empty())
                _cachedSPS = frame->parameterSets->sps;
            if (!frame->parameterSets->pps.empty())
                _cachedPPS = frame->parameterSets->pps;
        }
        if (frame->isKeyframe) {
            sps = _cachedSPS;
            pps = _cachedPPS;
        }
    }
    const std::vector<std::uint8_t> annexB =
        convertAVCCToAnnexB(frame->data, frame->isKeyframe, sps, pps);
    const std::uint32_t sequence = frameSequence_.fetch_add(1);
    frames_.writeVideoFrame(
        static_cast<std::uint16_t>(targets_.width), static_cast<std::uint16_t>(targets_.height),
        static_cast<std::uint8_t>(targets_.fps), frame->isKeyframe, pts, annexB, sequence);
}

}  // namespace ostrovane::video
