#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "contract/ProviderHarness.h"
#include "dispatch/ManualClock.h"
#include "platform/sim/SimWorld.h"
#include "protocol/TextChannel.h"
#include "sources/system/SystemAudioSource.h"
#include "support/LineCollector.h"
#include "support/Pipe.h"

namespace ostrovane::sources::system::testing {

// The simulated screen-capture service seen through a window: it remembers
// every stream's delegate and audio output (so a test can play a stream that
// was replaced) and can hold start completions back until the test releases
// them (so a stop can overtake a start).
class ObservedScreenCapture final : public platform::ScreenCapture {
  public:
    struct StreamRecord {
        std::shared_ptr<platform::CaptureStream> stream;
        platform::StreamStopHandler onStop;
        platform::AudioSampleHandler audio;
        dispatch::QueueRef audioQueue;
    };

    explicit ObservedScreenCapture(std::shared_ptr<platform::sim::SimScreen> sim)
        : sim_(std::move(sim)) {}

    bool requestAccess() override { return sim_->requestAccess(); }
    void shareableContent(
        const platform::ShareableContentOptions& options,
        std::function<void(platform::Result<platform::ShareableContent>)> completion) override {
        sim_->shareableContent(
            options, [this, completion](platform::Result<platform::ShareableContent> content) {
                {
                    std::lock_guard lock(mutex_);
                    if (holdingContent_) {
                        held_.push_back([completion, content] { completion(content); });
                        return;
                    }
                }
                completion(content);
            });
    }
    platform::ContentFilter makeFilter(const platform::Display& d) override {
        return sim_->makeFilter(d);
    }
    platform::ContentFilter makeFilter(const platform::Window& w) override {
        return sim_->makeFilter(w);
    }
    std::shared_ptr<platform::CaptureStream> makeStream(
        const platform::ContentFilter& filter, const platform::StreamConfiguration& configuration,
        platform::StreamStopHandler onStop) override {
        auto inner = sim_->makeStream(filter, configuration, onStop);
        auto stream = std::make_shared<Stream>(*this, inner);
        std::lock_guard lock(mutex_);
        records_.push_back({stream, std::move(onStop), nullptr, {}});
        stream->index = records_.size() - 1;
        return stream;
    }
    void screenshot(const platform::ContentFilter& filter,
                    const platform::StreamConfiguration& configuration,
                    std::function<void(platform::Result<platform::Image>)> completion) override {
        sim_->screenshot(filter, configuration, std::move(completion));
    }
    platform::ScreenList screens() override { return sim_->screens(); }

    std::vector<StreamRecord> records() const {
        std::lock_guard lock(mutex_);
        return records_;
    }
    // Start completions, or content answers, wait in a list until released.
    void holdStarts(bool hold) {
        std::lock_guard lock(mutex_);
        holding_ = hold;
    }
    void holdContent(bool hold) {
        std::lock_guard lock(mutex_);
        holdingContent_ = hold;
    }
    std::size_t held() const {
        std::lock_guard lock(mutex_);
        return held_.size();
    }
    // Delivers every held answer (the service's own), on the caller's thread.
    void release() {
        std::deque<std::function<void()>> due;
        {
            std::lock_guard lock(mutex_);
            due.swap(held_);
        }
        for (auto& answer : due)
            answer();
    }

  private:
    class Stream final : public platform::CaptureStream {
      public:
        Stream(ObservedScreenCapture& owner, std::shared_ptr<platform::CaptureStream> inner)
            : owner_(owner), inner_(std::move(inner)) {}
        platform::MaybeError addAudioOutput(platform::AudioSampleHandler handler,
                                            dispatch::QueueRef queue) override {
            {
                std::lock_guard lock(owner_.mutex_);
                owner_.records_[index].audio = handler;
                owner_.records_[index].audioQueue = queue;
            }
            return inner_->addAudioOutput(std::move(handler), std::move(queue));
        }
        platform::MaybeError addScreenOutput(platform::ScreenSampleHandler handler,
                                             dispatch::QueueRef queue) override {
            return inner_->addScreenOutput(std::move(handler), std::move(queue));
        }
        platform::MaybeError removeOutput(platform::StreamOutputType type) override {
            return inner_->removeOutput(type);
        }
        void startCapture(platform::StreamCompletion completion) override {
            inner_->startCapture([&owner = owner_, completion](platform::MaybeError error) {
                {
                    std::lock_guard lock(owner.mutex_);
                    if (owner.holding_) {
                        owner.held_.push_back([completion, error] { completion(error); });
                        return;
                    }
                }
                completion(error);
            });
        }
        void stopCapture(platform::StreamCompletion completion) override {
            inner_->stopCapture(std::move(completion));
        }
        void updateContentFilter(const platform::ContentFilter& filter,
                                 platform::StreamCompletion completion) override {
            inner_->updateContentFilter(filter, std::move(completion));
        }
        const platform::StreamConfiguration& configuration() const override {
            return inner_->configuration();
        }
        std::size_t index = 0;

      private:
        ObservedScreenCapture& owner_;
        std::shared_ptr<platform::CaptureStream> inner_;
    };

    std::shared_ptr<platform::sim::SimScreen> sim_;
    mutable std::mutex mutex_;
    std::vector<StreamRecord> records_;
    bool holding_ = false;
    bool holdingContent_ = false;
    std::deque<std::function<void()>> held_;
};

// A system source on a simulated machine (one display, a 440 Hz tone as the
// system mix) with a manual clock; the error channel is read back line by line.
class SystemAudioFixture : public ::testing::Test {
  protected:
    SystemAudioFixture() {
        test::ignoreSigpipe();
        world.addTypicalMachine();
        collector = std::make_unique<test::LineCollector>(::dup(pipe.readFd()));
        pipe.closeRead();
        source = SystemAudioSource::create({screen, simApplications(), text, clock});
        source->setOnAudioData([this](std::span<const std::uint8_t> chunk) {
            chunks.add(std::vector<std::uint8_t>(chunk.begin(), chunk.end()));
        });
        source->setOnCaptureOutcome([this](platform::MaybeError error) {
            outcomes.add(error ? error->localizedDescription() : "ok");
        });
    }

    ~SystemAudioFixture() override {
        if (source) {
            source->stop(nullptr);
            clock.settle();
            source.reset();
        }
        clock.settle();
        pipe.closeWrite();
        collector.reset();
    }

    std::shared_ptr<platform::Applications> simApplications() {
        return world.platform().applications;
    }

    // Starts the source and lets the service answer. Returns the start's
    // error text, or "ok".
    std::string start() {
        contract::Recorder<std::string> result;
        source->start([&result](platform::MaybeError error) {
            result.add(error ? error->localizedDescription() : "ok");
        });
        clock.settle();
        auto values = result.values();
        return values.size() == 1 ? values[0]
                                  : "start completions: " + std::to_string(values.size());
    }

    bool stop() {
        contract::Recorder<int> done;
        source->stop([&done] { done.add(1); });
        clock.settle();
        return done.size() == 1;
    }

    // Runs the clock up to `uptimeSeconds`.
    void advanceTo(double uptimeSeconds) {
        const auto target = dispatch::seconds(uptimeSeconds);
        if (target > clock.uptime())
            clock.advance(target - clock.uptime());
        clock.settle();
    }

    // The lines written since the previous call, once everything has settled.
    std::vector<std::string> newLines() {
        clock.settle();
        const std::string marker = "-- mark " + std::to_string(++marks_) + " --";
        text.logToStderr(marker);
        auto at = collector->waitForLine(marker, seen_);
        EXPECT_TRUE(at.has_value());
        if (!at)
            return {};
        auto all = collector->lines();
        std::vector<std::string> out(all.begin() + static_cast<std::ptrdiff_t>(seen_),
                                     all.begin() + static_cast<std::ptrdiff_t>(*at));
        seen_ = *at + 1;
        return out;
    }

    static std::size_t countContaining(const std::vector<std::string>& lines,
                                       const std::string& part) {
        return static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    }
    static bool contains(const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    dispatch::ManualClock clock;
    platform::sim::SimWorld world{clock};
    platform::sim::SimScreen& sim = world.screen();
    std::shared_ptr<ObservedScreenCapture> screen = std::make_shared<ObservedScreenCapture>(
        std::dynamic_pointer_cast<platform::sim::SimScreen>(world.platform().screenCapture));
    test::Pipe pipe;
    protocol::TextChannel text{pipe.writeFd()};
    std::unique_ptr<test::LineCollector> collector;
    contract::Recorder<std::vector<std::uint8_t>> chunks;
    contract::Recorder<std::string> outcomes;
    std::shared_ptr<SystemAudioSource> source;

  private:
    std::size_t seen_ = 0;
    int marks_ = 0;
};

}  // namespace ostrovane::sources::system::testing
