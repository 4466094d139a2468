// The sample path: every captured buffer, on the processing queue.
#include "sources/mic/MicPcmConversion.h"
#include "sources/mic/MicRms.h"
#include "sources/mic/MicText.h"
#include "sources/mic/MicrophoneSource.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::sources::mic {

namespace {

// Trace lines for the first callbacks and then sparsely, so a running capture
// stays quiet.
bool traced(std::int64_t n) {
    return n <= 5 || n == 50 || n == 100 || n % 500 == 0;
}

std::string callbackText(std::int64_t n) {
    return "Callback #" + std::to_string(n) + ": ";
}

}  // namespace

void MicrophoneSource::processSampleBuffer(const platform::SampleBuffer& buffer) {
    std::int64_t n;
    {
        util::MutexLock lock(stateLock_);
        n = ++_callbackCount;
    }
    if (traced(n)) {
        if (const auto d = buffer.streamDescription()) {
            log(callbackText(n) + rateText(d->sampleRate) + "Hz/" +
                std::to_string(d->channelsPerFrame) +
                "ch, frames=" + std::to_string(buffer.frameCount()));
        } else {
            log(callbackText(n) + "(no format desc)");
        }
    }

    const PcmConversionHooks hooks{
        [this](const std::string& line) { log(line); },
        [this](const platform::StreamDescription& d) { noteMonoFallback(d); }};
    const auto pcm = convertToPcmBuffer(buffer, hooks);
    if (!pcm) {
        if (n <= 10)
            log(callbackText(n) + "convertToPCMBuffer returned nil");
        return;
    }

    const double rms = rmsOf(*pcm);
    const double measuredAt = now();
    SilenceDetector::Action action;
    std::optional<std::pair<double, std::int64_t>> status;  // average RMS, frames
    {
        util::MutexLock lock(stateLock_);
        ++_totalFrameCount;
        _cumulativeRMS += rms;
        ++_rmsFrameCount;
        _lastCallbackAt = measuredAt;
        _micStallReported = false;
        action = _silenceDetector.update(rms, measuredAt);
        if (measuredAt - _lastDiagnosticTime >= statusDiagnosticInterval) {
            _lastDiagnosticTime = measuredAt;
            const double average =
                _rmsFrameCount < 1 ? 0.0 : _cumulativeRMS / static_cast<double>(_rmsFrameCount);
            status.emplace(average, _totalFrameCount);
            _cumulativeRMS = 0;
            _rmsFrameCount = 0;
        }
    }
    if (status) {
        utilityQueue_.async([weak = weak_from_this(), status = *status] {
            if (auto self = weak.lock())
                self->emitCaptureStatusDiagnostic(status.first, status.second);
        });
    }

    handleSilenceAction(action);

    const auto data = pipeline_.process(*pcm);
    if (!data) {
        if (n <= 10)
            log(callbackText(n) + "pipeline.process returned nil");
        return;
    }
    if (n <= 5)
        log(callbackText(n) + "emitting " + std::to_string(data->size()) + " bytes");
    deliverAudio(*data);
}

void MicrophoneSource::noteMonoFallback(const platform::StreamDescription& description) {
    {
        util::MutexLock lock(stateLock_);
        if (_loggedMonoFallback)
            return;
        _loggedMonoFallback = true;
    }
    log("WARNING: Mic delivering " + std::to_string(description.channelsPerFrame) + "ch @ " +
        rateText(description.sampleRate) +
        "Hz \u2014 extracting channel 0 as mono (non-standard channel count)");
}

}  // namespace ostrovane::sources::mic
