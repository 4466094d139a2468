// A capture stream that ended by itself, as its owner then sees it: stopping
// it is already done (no false error in the owner's log), and it takes no
// new target (a switch racing the owner's clean-up must not answer success
// for a dead capture).
#include <gtest/gtest.h>

#include <future>

#include "dispatch/SystemClock.h"
#include "platform/screens/ThreadedCaptureStream.h"

namespace ostrovane::platform {
namespace {

using namespace std::chrono_literals;

// Captures nothing: answers switches while it runs, or ends by itself at
// once when told to.
class EndingStream final : public ThreadedCaptureStream {
  public:
    EndingStream(dispatch::Clock& clock, std::shared_ptr<dispatch::SerialQueue> events,
                 StreamStopHandler onStop, bool endsByItself)
        : ThreadedCaptureStream(clock, std::move(events), {}, std::move(onStop), {"Test", "none"}),
          endsByItself_(endsByItself) {}
    ~EndingStream() override { halt(); }

  private:
    void run(dispatch::BackgroundTask::Context& context, StreamCompletion started) override {
        complete(std::move(started), std::nullopt);
        if (endsByItself_) {
            stopByItself(Error{"Test", -1, "The target went away"});
            return;
        }
        do {
            for (auto& change : takeFilterChanges())
                complete(std::move(change.completion), std::nullopt);
        } while (context.sleepFor(1ms));
    }
    MaybeError filterWhileStoppedLocked(const ContentFilter&) override { return std::nullopt; }

    const bool endsByItself_;
};

// What a stream's completion answered: nothing, or the error's code.
template <typename Call>
std::optional<std::int64_t> answer(Call call) {
    std::promise<MaybeError> done;
    call([&](const MaybeError& error) { done.set_value(error); });
    auto future = done.get_future();
    if (future.wait_for(5s) != std::future_status::ready)
        return -9999;
    auto error = future.get();
    return error ? std::optional(error->code) : std::nullopt;
}

TEST(ThreadedCaptureStream, StopAndSwitchAnswerWhatTheStreamBecame) {
    struct Case {
        const char* what;
        bool start, endsByItself;
        std::optional<std::int64_t> switchAnswer, firstStop, secondStop;
    };
    const Case cases[] = {
        {"never started: takes a target, nothing to stop", false, false, std::nullopt,
         platform::kStreamNotRunningCode, platform::kStreamNotRunningCode},
        {"running: switches, then is stopped once", true, false, std::nullopt, std::nullopt,
         platform::kStreamNotRunningCode},
        {"ended by itself: takes no target, is stopped already", true, true,
         platform::kStreamNotRunningCode, std::nullopt, std::nullopt},
    };
    dispatch::SystemClock clock;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto events = std::make_shared<dispatch::SerialQueue>(clock, "test.events");
        std::promise<void> ended;
        EndingStream stream(
            clock, events, [&](const StreamStopError&) { ended.set_value(); }, c.endsByItself);
        if (c.start) {
            EXPECT_EQ(answer([&](auto done) { stream.startCapture(done); }), std::nullopt);
        }
        if (c.endsByItself) {
            ASSERT_EQ(ended.get_future().wait_for(5s), std::future_status::ready);
        }
        EXPECT_EQ(answer([&](auto done) { stream.updateContentFilter({}, done); }), c.switchAnswer);
        EXPECT_EQ(answer([&](auto done) { stream.stopCapture(done); }), c.firstStop);
        EXPECT_EQ(answer([&](auto done) { stream.stopCapture(done); }), c.secondStop);
    }
}

}  // namespace
}  // namespace ostrovane::platform
