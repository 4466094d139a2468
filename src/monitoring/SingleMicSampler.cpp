#include "monitoring/SingleMicSampler.h"

#include <algorithm>
#include <utility>

#include "monitoring/MicSamplerRecords.h"
#include "sources/mic/MicPcmConversion.h"
#include "sources/mic/MicRms.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::monitoring {

SingleMicSampler::SingleMicSampler(Dependencies dependencies, platform::CaptureDevice device,
                                   std::int64_t durationMs)
    : capture_(std::move(dependencies.capture)),
      device_(std::move(device)),
      durationMs_(durationMs),
      completionQueue_(dependencies.completionQueue.ref()),
      dataQueue_(dependencies.clock, "mic.sampler.data"),
      sessionQueue_(dependencies.clock, "mic.sampler.session") {}

SingleMicSampler::~SingleMicSampler() {
    // A sampler dropped before its deadline must not leave the device open.
    sessionQueue_.sync([this] {
        if (session_ && session_->isRunning())
            session_->stopRunning();
    });
}

void SingleMicSampler::sample(Completion completion) {
    {
        util::MutexLock guard(lock_);
        _completion = std::move(completion);
    }
    sessionQueue_.async([this] { configureAndStart(); });
}

void SingleMicSampler::configureAndStart() {
    session_ = capture_->makeSession();
    session_->beginConfiguration();
    auto input = capture_->makeInput(device_);
    if (!input.ok()) {
        completeWith(input.error().description());
        return;
    }
    if (!session_->canAddInput(input.value())) {
        completeWith(describe(MicSamplerError::cannotAddInput));
        return;
    }
    session_->addInput(input.value());
    auto output = capture_->makeAudioDataOutput();
    // The data queue dies with this object, and the handler only runs on it.
    output->setSampleBufferHandler(
        [this](std::shared_ptr<const platform::SampleBuffer> buffer) {
            if (buffer)
                measure(*buffer);
        },
        dataQueue_.ref());
    if (!session_->canAddOutput(output)) {
        completeWith(describe(MicSamplerError::cannotAddOutput));
        return;
    }
    session_->addOutput(output);
    session_->commitConfiguration();
    session_->startRunning();
    if (!session_->isRunning()) {
        completeWith(describe(MicSamplerError::sessionStartFailed));
        return;
    }
    sessionQueue_.asyncAfter(dispatch::milliseconds(kFirstBufferWaitMs),
                             [this] { firstBufferWaitOver(); });
}

void SingleMicSampler::firstBufferWaitOver() {
    {
        util::MutexLock guard(lock_);
        if (_windowOpen)
            return;
    }
    deadline();
}

void SingleMicSampler::deadline() {
    MicLevel level;
    {
        util::MutexLock guard(lock_);
        if (_isCompleted)
            return;
        _isCompleted = true;
        level.buffers = _frameCount;
        level.meanRms = _frameCount < 1 ? 0 : _rmsAccumulator / static_cast<double>(_frameCount);
        level.peakRms = _peakRms;
    }
    session_->stopRunning();
    if (level.buffers == 0)
        completeWith(describe(MicSamplerError::noFramesCaptured));
    else
        completeWith(level);
}

void SingleMicSampler::measure(const platform::SampleBuffer& buffer) {
    {
        util::MutexLock guard(lock_);
        if (_isCompleted)
            return;
    }
    // The microphone path's own conversion: every sample type it can read
    // (float, 16- and 32-bit integer) is measured, and devices with more
    // than two channels are measured on channel 0.
    const auto pcm = sources::mic::convertToPcmBuffer(buffer, {});
    if (!pcm || pcm->frameLength() < 1)
        return;
    const double rms = sources::mic::rmsOf(*pcm);
    bool opened = false;
    {
        util::MutexLock guard(lock_);
        if (_isCompleted)
            return;
        _rmsAccumulator += rms;
        _peakRms = std::max(_peakRms, rms);
        _frameCount += 1;
        opened = !std::exchange(_windowOpen, true);
    }
    if (opened)
        sessionQueue_.asyncAfter(dispatch::milliseconds(durationMs_ + deadlineSlackMs),
                                 [this] { deadline(); });
}

void SingleMicSampler::completeWith(MicLevelOutcome outcome) {
    Completion completion;
    {
        util::MutexLock guard(lock_);
        completion = std::move(_completion);
        _completion = nullptr;
    }
    if (!completion)
        return;
    completionQueue_.async([completion = std::move(completion), outcome = std::move(outcome)] {
        completion(outcome);
    });
}

}  // namespace ostrovane::monitoring
