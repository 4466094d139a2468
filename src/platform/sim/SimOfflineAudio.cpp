#include "platform/sim/SimOfflineAudio.h"

#include "platform/audio/OfflineRenderGraph.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::sim {

namespace {

// The portable render graph with the scripted faults in front of it.
class Engine final : public OfflineAudioEngine {
  public:
    explicit Engine(std::shared_ptr<SimOfflineAudio::Faults> faults) : faults_(std::move(faults)) {}

    void connectSource(SourceRenderCallback render, const AudioFormat& format) override {
        graph_.connectSource(std::move(render), format);
    }
    void setMixerVolume(float volume) override { graph_.setMixerVolume(volume); }
    void setMainMixerVolume(float volume) override { graph_.setMainMixerVolume(volume); }
    void installTap(std::uint32_t bufferFrames, TapCallback onBlock) override {
        graph_.installTap(bufferFrames, std::move(onBlock));
    }
    void removeTap() override { graph_.removeTap(); }

    MaybeError enableManualRendering(const AudioFormat& format,
                                     std::uint32_t maximumFrames) override {
        {
            util::MutexLock lock(faults_->mutex);
            if (faults_->enableError)
                return faults_->enableError;
        }
        return graph_.enableManualRendering(format, maximumFrames);
    }

    MaybeError start() override {
        {
            util::MutexLock lock(faults_->mutex);
            if (faults_->startError)
                return faults_->startError;
        }
        return graph_.start();
    }

    void stop() override { graph_.stop(); }
    AudioFormat manualRenderingFormat() const override { return graph_.manualRenderingFormat(); }

    Result<RenderStatus> renderOffline(std::uint32_t frames, PcmBuffer& buffer) override {
        {
            util::MutexLock lock(faults_->mutex);
            if (!faults_->renderAnswers.empty()) {
                Result<RenderStatus> answer = std::move(faults_->renderAnswers.front());
                faults_->renderAnswers.pop_front();
                return answer;
            }
        }
        return graph_.renderOffline(frames, buffer);
    }

  private:
    std::shared_ptr<SimOfflineAudio::Faults> faults_;
    OfflineRenderGraph graph_;
};

}  // namespace

SimOfflineAudio::SimOfflineAudio() : faults_(std::make_shared<Faults>()) {}

void SimOfflineAudio::failEnableManualRendering(std::optional<Error> error) {
    util::MutexLock lock(faults_->mutex);
    faults_->enableError = std::move(error);
}

void SimOfflineAudio::failStart(std::optional<Error> error) {
    util::MutexLock lock(faults_->mutex);
    faults_->startError = std::move(error);
}

void SimOfflineAudio::pushRenderAnswer(Result<RenderStatus> answer) {
    util::MutexLock lock(faults_->mutex);
    faults_->renderAnswers.push_back(std::move(answer));
}

std::unique_ptr<OfflineAudioEngine> SimOfflineAudio::create() {
    return std::make_unique<Engine>(faults_);
}

}  // namespace ostrovane::platform::sim
