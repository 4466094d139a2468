#include "app/App.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/AppContext.h"
#include "app/CommandLoop.h"
#include "app/InputReader.h"
#include "app/LineQueue.h"
#include "app/Version.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::app {

namespace {
// The command-loop thread, shared with the exit path: after STOP the process
// ends from the main queue, and the loop thread (which has returned by then)
// is joined first so that it ends as a joined thread, not a leaked one.
struct LoopThread {
    util::Mutex mutex;
    std::thread _thread GUARDED_BY(mutex);

    void join() {
        std::thread finished;
        {
            util::MutexLock lock(mutex);
            if (!_thread.joinable() || _thread.get_id() == std::this_thread::get_id())
                return;
            finished = std::move(_thread);
        }
        finished.join();
    }
};
}  // namespace

class App::Runner {
  public:
    Runner(AppChannels channels, platform::Platform& platform, dispatch::Clock& clock,
           dispatch::MainQueue& mainQueue, ExitProcess exitProcess)
        : channels_(channels),
          exitProcess_(std::move(exitProcess)),
          loopThread_(std::make_shared<LoopThread>()),
          text_(channels.error),
          frames_(channels.output, [this](int error) { outputFailed(error); }),
          context_{text_,
                   frames_,
                   clock,
                   mainQueue,
                   platform,
                   [loop = std::weak_ptr(loopThread_), exit = exitProcess_](int status) {
                       if (auto thread = loop.lock())
                           thread->join();
                       exit(status);
                   }} {}

    ~Runner() { shutdown(); }

    AppContext& context() { return context_; }

    // The start-up task: runs on the main queue.
    void launch() {
        util::MutexLock lock(mutex_);
        if (_shutDown || _launched)
            return;
        _launched = true;
        text_.logToStderr("🔵 Task executing, about to call runApp()...");
        util::MutexLock threadLock(loopThread_->mutex);
        loopThread_->_thread = std::thread([this] { runApp(); });
    }

    void shutdown() {
        {
            util::MutexLock lock(mutex_);
            _shutDown = true;
        }
        lines_.close();
        loopThread_->join();
    }

    bool loopEnded() const { return loopEnded_.load(); }

    void parentEnded() {
        text_.logToStderr("Parent process ended, stopping all services and exiting");
        if (!loopEnded_.load()) {
            lines_.replaceWithLast(InputLine{"STOP", 4, false});
            // A command that waits (a consent dialog) must not hold the exit:
            // the sound server and the portal end what the process held.
            context_.mainQueue.asyncAfter(App::kParentGoneExitBound,
                                          [exit = exitProcess_] { exit(0); });
            return;
        }
        // End of input has released the services already.
        exitProcess_(0);
    }

  private:
    void runApp() {
        text_.logToStderr("runApp() called - helper in IDLE mode");
        text_.logToStderr("Helper ready, waiting for commands...");
        // After the fixed start-up lines, so that a parent's bug report says
        // which build ran.
        text_.logToStderr(std::string("Ostrovane version ") + kVersion);
        {
            InputReader reader(channels_.input, lines_);
            CommandLoop loop(context_, lines_);
            loop.run();
            // Leaving the scope releases the services without stopping them
            // first and stops reading: nothing more is taken from the input.
        }
        loopEnded_.store(true);
    }

    // Standard output is gone (the parent closed it or died): frames can no
    // longer reach anyone, so the helper ends instead of capturing in vain.
    void outputFailed(int error) {
        text_.logToStderr(std::string("Standard output closed (") + std::strerror(error) +
                          "), exiting");
        // Not through the context's exit: that one waits for the command loop,
        // which may be waiting for input.
        exitProcess_(1);
    }

    const AppChannels channels_;
    const ExitProcess exitProcess_;
    const std::shared_ptr<LoopThread> loopThread_;
    protocol::TextChannel text_;
    protocol::FrameWriter frames_;
    AppContext context_;
    LineQueue lines_;
    util::Mutex mutex_;
    bool _shutDown GUARDED_BY(mutex_) = false;
    bool _launched GUARDED_BY(mutex_) = false;
    std::atomic<bool> loopEnded_{false};
};

App::App(AppChannels channels, platform::Platform& platform, dispatch::Clock& clock,
         dispatch::MainQueue& mainQueue, ExitProcess exitProcess)
    : runner_(
          std::make_shared<Runner>(channels, platform, clock, mainQueue, std::move(exitProcess))) {}

void App::parentEnded() {
    runner_->parentEnded();
}

App::~App() {
    runner_->shutdown();
}

void App::shutdown() {
    runner_->shutdown();
}

void App::start() {
    auto& text = runner_->context().text;
    text.logToStderr("Ostrovane starting...");
    text.logToStderr("✅ macOS version check passed, creating Task...");
    runner_->context().mainQueue.async([weak = std::weak_ptr<Runner>(runner_)] {
        if (auto runner = weak.lock())
            runner->launch();
    });
    text.logToStderr("🟢 About to start RunLoop.main.run()...");
}

bool App::loopEnded() const {
    return runner_->loopEnded();
}

}  // namespace ostrovane::app
