#include "app/CommandLoop.h"

#include <string>

namespace ostrovane::app {

CommandLoop::CommandLoop(AppContext& context, LineQueue& lines)
    : context_(context),
      lines_(lines),
      host_(context, slots_),
      monitoring_(context, slots_),
      devices_(context, slots_),
      streaming_(context, slots_),
      video_(context, slots_),
      sampling_(context, slots_),
      micTap_(context) {}

void CommandLoop::run() {
    while (auto line = lines_.pop()) {
        if (handle(*line) == Next::endLoop)
            return;
    }
}

CommandLoop::Next CommandLoop::handle(const InputLine& line) {
    if (line.truncated) {
        // Not a command any parent sends: report it and keep the log readable.
        context_.text.logToStderr("Received command: " + line.text + "... (" +
                                  std::to_string(line.length) + " bytes)");
        context_.text.logToStderr("Command line too long (" + std::to_string(line.length) +
                                  " bytes), ignored");
        return Next::takeNextLine;
    }
    context_.text.logToStderr("Received command: " + line.text);
    auto request = parseCommand(line.text);
    if (!request) {
        context_.text.logToStderr("Unknown command: " + line.text);
        return Next::takeNextLine;
    }
    return dispatch(*request);
}

CommandLoop::Next CommandLoop::dispatch(const CommandRequest& request) {
    switch (request.spec->command) {
        case Command::startStreaming:
            streaming_.startStreaming();
            return Next::takeNextLine;
        case Command::stopStreaming:
            streaming_.stopStreaming();
            return Next::takeNextLine;
        case Command::startMicMonitoring:
            monitoring_.startMicMonitoring();
            return Next::takeNextLine;
        case Command::stopMicMonitoring:
            monitoring_.stopMicMonitoring();
            return Next::takeNextLine;
        case Command::listDevices:
            devices_.listDevices();
            return Next::takeNextLine;
        case Command::getCurrentMic:
            devices_.getCurrentMicDevice();
            return Next::takeNextLine;
        case Command::getDeviceDiagnostic:
            devices_.getDeviceDiagnostic(request.argument);
            return Next::takeNextLine;
        case Command::stop:
            host_.stop();
            return Next::endLoop;
        case Command::healthCheck:
            host_.healthCheck();
            return Next::takeNextLine;
        case Command::testWav:
            streaming_.testWav(request.argument);
            return Next::takeNextLine;
        case Command::startVideo:
            video_.startVideo(request.argument);
            return Next::takeNextLine;
        case Command::stopVideo:
            video_.stopVideo();
            return Next::takeNextLine;
        case Command::switchVideo:
            video_.switchVideo(request.argument);
            return Next::takeNextLine;
        case Command::snapshotNow:
            video_.snapshotNow(request.argument);
            return Next::takeNextLine;
        case Command::screenshot:
            video_.screenshot();
            return Next::takeNextLine;
        case Command::listWindows:
            video_.listWindows();
            return Next::takeNextLine;
        case Command::sampleRunningMics:
            sampling_.sampleRunningMics(request.argument);
            return Next::takeNextLine;
        case Command::testMicTap:
            micTap_.runMicTapHarnessCommand();
            return Next::takeNextLine;
    }
    return Next::takeNextLine;
}

}  // namespace ostrovane::app
