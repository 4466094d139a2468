#include "support/InProcessApp.h"

#include <unistd.h>

#include <stdexcept>

namespace ostrovane::test {

InProcessApp::InProcessApp(dispatch::ManualClock& clock, platform::Platform platform)
    : clock_(clock), platform_(std::move(platform)), mainQueue_(clock) {
    ignoreSigpipe();
    errors_ = std::make_unique<LineCollector>(::dup(errorPipe_.readFd()));
    errorPipe_.closeRead();
    mainThread_ = std::thread([this] { mainQueue_.run(); });
    app_ = std::make_unique<app::App>(
        app::AppChannels{input_.readFd(), memory_.frameFd(), errorPipe_.writeFd()}, platform_,
        clock, mainQueue_, [this](int status) { exitStatus_ = status; });
    app_->start();
}

InProcessApp::~InProcessApp() {
    // The services the loop lets go may still be finishing work on other
    // threads (a platform completion, a sender pass) that writes to the
    // app's channels; that work ends before the channels do.
    app_->shutdown();
    try {
        clock_.settle();
    } catch (...) {
    }
    app_.reset();
    mainQueue_.stop();
    mainThread_.join();
    errorPipe_.closeWrite();
    errors_.reset();
}

void InProcessApp::send(const std::string& line) {
    const std::string bytes = line + "\n";
    if (::write(input_.writeFd(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("command not written: " + line);
}

std::optional<std::size_t> InProcessApp::answer(const std::string& payload, std::size_t from) {
    return errors_->waitForLine("CMD_RESPONSE:" + payload, from);
}

std::optional<std::string> InProcessApp::answerStartingWith(const std::string& prefix,
                                                            std::size_t from) {
    const auto rest = errors_->waitForRest("CMD_RESPONSE:" + prefix, from);
    return rest ? std::optional(prefix + *rest) : std::nullopt;
}

}  // namespace ostrovane::test
