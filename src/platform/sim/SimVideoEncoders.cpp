#include "platform/sim/SimVideoEncoders.h"

#include <algorithm>
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::sim {

namespace {

void appendNal(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& nal) {
    const auto n = static_cast<std::uint32_t>(nal.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(n >> shift));
    out.insert(out.end(), nal.begin(), nal.end());
}

class FakeEncoder final : public VideoEncoder {
  public:
    FakeEncoder(std::shared_ptr<PlatformThreads> threads,
                std::shared_ptr<SimVideoEncoders::Faults> faults, VideoEncoderSettings settings)
        : threads_(std::move(threads)),
          faults_(std::move(faults)),
          settings_(settings),
          invalidated_(std::make_shared<std::atomic<bool>>(false)) {}

    ~FakeEncoder() override { invalidate(); }

    EncoderStatus encode(const Image&, MediaTime presentationTime, MediaTime, bool forceKeyframe,
                         EncodedFrameHandler onOutput) override {
        if (invalidated_->load())
            return kEncoderParameterError;
        if (EncoderStatus s = faults_->encode.load(); s != 0)
            return s;
        faults_->submitted.fetch_add(1);
        const std::int64_t index = frameIndex_++;
        const std::int32_t interval = std::max(settings_.maxKeyframeInterval, 1);
        const bool keyframe = forceKeyframe || index - lastKeyframe_ >= interval || index == 0;
        if (keyframe)
            lastKeyframe_ = index;

        std::optional<EncodedFrame> frame;
        const EncoderStatus outputStatus = faults_->output.load();
        if (outputStatus == 0) {
            EncodedFrame f;
            f.presentationTime = presentationTime;
            f.isKeyframe = keyframe;
            std::vector<std::uint8_t> slice{static_cast<std::uint8_t>(keyframe ? 0x65 : 0x41)};
            for (int shift = 24; shift >= 0; shift -= 8) {
                slice.push_back(static_cast<std::uint8_t>(index >> shift));
            }
            appendNal(f.data, slice);
            if (keyframe)
                f.parameterSets = fakeParameterSets();
            frame = std::move(f);
        }
        threads_->encoder.async([invalidated = invalidated_, onOutput = std::move(onOutput),
                                 outputStatus, frame = std::move(frame)]() mutable {
            if (invalidated->load() || !onOutput)
                return;
            onOutput(outputStatus, std::move(frame));
        });
        return 0;
    }

    void completeFrames() override {
        if (!threads_->encoder.isCurrent())
            threads_->encoder.sync([] {});
    }

    void invalidate() override { invalidated_->store(true); }

  private:
    std::shared_ptr<PlatformThreads> threads_;
    std::shared_ptr<SimVideoEncoders::Faults> faults_;
    const VideoEncoderSettings settings_;
    std::shared_ptr<std::atomic<bool>> invalidated_;
    std::int64_t frameIndex_ = 0;    // capture queue only
    std::int64_t lastKeyframe_ = 0;  // capture queue only
};

}  // namespace

ParameterSets fakeParameterSets() {
    return ParameterSets{{0x67, 0x4D, 0x00, 0x1F}, {0x68, 0xEE, 0x3C, 0x80}};
}

SimVideoEncoders::SimVideoEncoders(std::shared_ptr<PlatformThreads> threads)
    : threads_(std::move(threads)), faults_(std::make_shared<Faults>()) {}

void SimVideoEncoders::failCreation(EncoderStatus status) {
    util::MutexLock lock(mutex_);
    _creationStatus = status;
}

void SimVideoEncoders::failEncode(EncoderStatus status) {
    faults_->encode.store(status);
}

void SimVideoEncoders::failOutput(EncoderStatus status) {
    faults_->output.store(status);
}

std::vector<VideoEncoderSettings> SimVideoEncoders::created() const {
    util::MutexLock lock(mutex_);
    return _created;
}

std::int64_t SimVideoEncoders::framesSubmitted() const {
    return faults_->submitted.load();
}

VideoEncoderCreation SimVideoEncoders::create(const VideoEncoderSettings& settings) {
    {
        util::MutexLock lock(mutex_);
        if (_creationStatus != 0)
            return {_creationStatus, nullptr};
        if (settings.width <= 0 || settings.height <= 0)
            return {kEncoderParameterError, nullptr};
        _created.push_back(settings);
    }
    return {0, std::make_unique<FakeEncoder>(threads_, faults_, settings)};
}

}  // namespace ostrovane::platform::sim
