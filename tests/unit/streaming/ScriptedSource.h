#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "streaming/AudioSource.h"

namespace ostrovane::streaming::testing {

// A source whose start result the test scripts: answered at once, or held
// until the test completes it. Counts what the streamer asks of it.
template <class Base>
class ScriptedSourceBase : public Base {
  public:
    explicit ScriptedSourceBase(protocol::AudioProtocol::FrameType type) : type_(type) {}

    std::string sourceID() const override { return "scripted"; }
    protocol::AudioProtocol::FrameType frameType() const override { return type_; }
    bool isActive() const override { return active_.load(); }

    void start(AudioSource::StartCompletion completion) override {
        starts.fetch_add(1);
        std::unique_lock lock(mutex_);
        if (holdStart_) {
            held_ = std::move(completion);
            return;
        }
        auto result = startResult_;
        lock.unlock();
        active_.store(!result);
        completion(result);
    }
    void stop(AudioSource::StopCompletion completion) override {
        stops.fetch_add(1);
        active_.store(false);
        completion();
    }

    // Scripting.
    void failStartWith(platform::Error error) {
        std::lock_guard lock(mutex_);
        startResult_ = std::move(error);
    }
    void holdStart() {
        std::lock_guard lock(mutex_);
        holdStart_ = true;
    }
    void completeHeldStart(platform::MaybeError result = std::nullopt) {
        AudioSource::StartCompletion completion;
        {
            std::lock_guard lock(mutex_);
            completion = std::move(held_);
        }
        active_.store(!result);
        completion(result);
    }
    void deliver(std::span<const std::uint8_t> chunk) { this->deliverAudio(chunk); }

    std::atomic<int> starts{0};
    std::atomic<int> stops{0};

  private:
    const protocol::AudioProtocol::FrameType type_;
    std::atomic<bool> active_{false};
    std::mutex mutex_;
    platform::MaybeError startResult_;
    bool holdStart_ = false;
    AudioSource::StartCompletion held_;
};

using ScriptedSource = ScriptedSourceBase<AudioSource>;

// A system-audio stand-in that negotiates: start() returns first, the capture
// outcome comes when the test sends it.
class ScriptedNegotiatingSource : public ScriptedSourceBase<NegotiatingAudioSource> {
  public:
    static constexpr std::int64_t kPermissionDeniedCode = -3801;

    ScriptedNegotiatingSource() : ScriptedSourceBase(protocol::AudioProtocol::FrameType::system) {}

    void setOnCaptureOutcome(CaptureOutcome outcome) override {
        std::lock_guard lock(mutex_);
        outcome_ = std::move(outcome);
    }
    void forceCleanup() override { cleanups.fetch_add(1); }
    bool isPermissionDenied(const platform::Error& error) const override {
        return error.code == kPermissionDeniedCode;
    }

    bool hasOutcomeHandler() {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(outcome_);
    }
    // Sends the capture outcome, as the capture service's thread would.
    void sendOutcome(platform::MaybeError outcome = std::nullopt) {
        CaptureOutcome handler;
        {
            std::lock_guard lock(mutex_);
            handler = outcome_;
        }
        if (handler)
            handler(std::move(outcome));
    }

    std::atomic<int> cleanups{0};

  private:
    std::mutex mutex_;
    CaptureOutcome outcome_;
};

}  // namespace ostrovane::streaming::testing
