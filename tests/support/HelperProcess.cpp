#include "support/HelperProcess.h"

#include <signal.h>

#include "support/Pipe.h"

namespace ostrovane::test {

HelperProcess::HelperProcess(const std::string& binary, const Context& context, Output output)
    : process_(context.wrapper.empty() ? std::vector<std::string>{binary} : [&] {
          auto argv = context.wrapper;
          argv.push_back(binary);
          return argv;
      }(),
               Subprocess::Options{.discardOutput = output == Output::closed,
                                             .environment = context.environment,
                                             .user = context.user,
                                             .group = context.group}) {
    ::signal(SIGPIPE, SIG_IGN);
    errors_ = std::make_unique<LineCollector>(process_.takeErrors().release());
    if (output == Output::collect) {
        outputThread_ = std::thread([this, fd = process_.takeOutput()] {
            readChunks(fd.get(), [this](std::string_view chunk) {
                std::unique_lock lock(mutex_);
                released_.wait(lock, [this] { return !_held; });
                _output.insert(_output.end(), chunk.begin(), chunk.end());
            });
        });
    }
}

void HelperProcess::holdOutput(bool hold) {
    {
        std::lock_guard lock(mutex_);
        _held = hold;
    }
    released_.notify_all();
}

HelperProcess::~HelperProcess() {
    holdOutput(false);
    process_.kill(SIGKILL);
    process_.waitForExit(std::chrono::seconds(10));
    process_.closeInput();
    errors_.reset();
    if (outputThread_.joinable())
        outputThread_.join();
}

std::vector<std::uint8_t> HelperProcess::outputBytes() const {
    std::lock_guard lock(mutex_);
    return _output;
}

}  // namespace ostrovane::test
