#include "app/handlers/VideoCommands.h"

#include <algorithm>

#include "app/VideoArguments.h"
#include "app/handlers/AwaitCompletion.h"
#include "platform/encoding/Base64.h"
#include "platform/image/PngEncoder.h"
#include "video/CaptureTargets.h"
#include "video/ContentQuery.h"
#include "video/ScreenVideoSource.h"

namespace ostrovane::app {

namespace {

// Runs an asynchronous video operation and waits for its completion; one
// that does not complete in time is the service's timeout.
template <class Operation>
std::optional<video::VideoError> await(Operation&& operation) {
    auto error =
        awaitCompletion<std::optional<video::VideoError>>(std::forward<Operation>(operation));
    return error ? std::move(*error) : video::serviceTimeoutError();
}

// The answer to an argument that is not a JSON object: the parser's message
// (also logged) when it is not JSON at all, invalid_json otherwise.
void refuseArgument(protocol::TextChannel& text, const std::string& command,
                    const JsonArgumentError& error) {
    if (error.kind == JsonArgumentError::Kind::parseError) {
        text.logToStderr(command + " error: " + error.description);
        text.sendCommandResponse(command + ":error:" + error.description);
    } else {
        text.sendCommandResponse(command + ":error:invalid_json");
    }
}

}  // namespace

void stopVideoSource(ServiceSlots& slots) {
    if (slots.videoSource)
        slots.videoSource->stop();
    slots.videoSource.reset();
}

void VideoCommands::startVideo(const std::string& argument) {
    auto& text = context_.text;
    auto parsed = parseJsonObject(argument);
    if (auto* error = std::get_if<JsonArgumentError>(&parsed)) {
        // A running capture stays in its slot and keeps running.
        refuseArgument(text, "START_VIDEO", *error);
        return;
    }
    const StartVideoArguments args = readStartVideo(std::get<nlohmann::json>(parsed));
    if (auto reason = invalidStartValue(args)) {
        text.sendCommandResponse("START_VIDEO:error:" + *reason);
        return;
    }
    if (slots_.videoSource) {
        if (slots_.videoSource->isActive()) {
            text.sendCommandResponse("START_VIDEO:error:already_active");
            return;
        }
        text.logToStderr(std::string(video::kVideoLogPrefix) +
                         "force-cleaning dead video source before restart");
        slots_.videoSource->forceCleanup();
        slots_.videoSource.reset();
    }
    const platform::Platform& p = context_.platform;
    if (!p.screenCapture) {
        text.sendCommandResponse("START_VIDEO:error:not_available");
        return;
    }
    auto source = video::ScreenVideoSource::create(
        {p.screenCapture, p.videoEncoders, text, context_.frames, context_.clock},
        {args.width, args.height, args.fps, args.bitrate});
    auto error = await([&](auto done) { source->start(args.type, args.id, std::move(done)); });
    if (error) {
        const std::string description = video::describe(*error);
        text.logToStderr("START_VIDEO error: " + description);
        text.sendCommandResponse("START_VIDEO:error:" + description);
        // Released here; a start that outlived the wait finds the source
        // gone, or leaves the tear-down of its stream to the destructor.
        return;
    }
    slots_.videoSource = std::move(source);
    text.sendCommandResponse("START_VIDEO:started");
}

void VideoCommands::stopVideo() {
    if (!slots_.videoSource) {
        context_.text.sendCommandResponse("STOP_VIDEO:not_active");
        return;
    }
    stopVideoSource(slots_);
    context_.text.sendCommandResponse("STOP_VIDEO:stopped");
}

void VideoCommands::switchVideo(const std::string& argument) {
    auto& text = context_.text;
    auto parsed = parseJsonObject(argument);
    if (auto* error = std::get_if<JsonArgumentError>(&parsed)) {
        refuseArgument(text, "SWITCH_VIDEO", *error);
        return;
    }
    const nlohmann::json& object = std::get<nlohmann::json>(parsed);
    const std::string type = readSwitchTargetType(object);
    const auto id = readSwitchTargetId(object);
    if (!id) {
        text.sendCommandResponse("SWITCH_VIDEO:error:invalid_target_id");
        return;
    }
    if (type != "display" && type != "window") {
        text.sendCommandResponse("SWITCH_VIDEO:error:invalid_target_type");
        return;
    }
    if (!slots_.videoSource) {
        text.sendCommandResponse("SWITCH_VIDEO:error:not_active");
        return;
    }
    auto& source = *slots_.videoSource;
    if (auto error = await([&](auto done) { source.switchTarget(type, *id, std::move(done)); })) {
        const std::string description = video::describe(*error);
        text.logToStderr("SWITCH_VIDEO error: " + description);
        text.sendCommandResponse("SWITCH_VIDEO:error:" + description);
        return;
    }
    text.sendCommandResponse("SWITCH_VIDEO:switched");
}

void VideoCommands::snapshotNow(const std::string& argument) {
    if (!slots_.videoSource) {
        context_.text.sendCommandResponse("SNAPSHOT_NOW:error:no_capture");
        return;
    }
    auto png = slots_.videoSource->snapshotPNG(readSnapshotWidth(argument));
    if (!png) {
        context_.text.sendCommandResponse("SNAPSHOT_NOW:error:no_frame");
        return;
    }
    context_.text.sendCommandResponse("SNAPSHOT_NOW:" + platform::base64Encode(*png));
}

void VideoCommands::screenshot() {
    auto& text = context_.text;
    auto& screenCapture = context_.platform.screenCapture;
    if (!screenCapture) {
        text.logToStderr("ERROR: No displays found for screenshot");
        return;
    }
    const auto content = video::queryShareableContent(*screenCapture, {});
    if (!content) {
        text.logToStderr("ERROR: Failed to capture screenshot: " + content.error().description());
        return;
    }
    if (content->displays.empty()) {
        text.logToStderr("ERROR: No displays found for screenshot");
        return;
    }
    const platform::Display& display = content->displays.front();
    platform::StreamConfiguration configuration;
    configuration.width = display.width;
    configuration.height = display.height;
    configuration.pixelFormat = platform::PixelFormat::bgra32;
    configuration.showsCursor = true;
    configuration.scalesToFit = false;
    const auto image =
        video::takeScreenshot(*screenCapture, screenCapture->makeFilter(display), configuration);
    if (!image) {
        text.logToStderr("ERROR: Failed to capture screenshot: " + image.error().description());
        return;
    }
    const std::vector<std::uint8_t> png = platform::encodePng(image.value());
    if (png.empty()) {
        text.logToStderr("ERROR: Failed to convert screenshot to PNG");
        return;
    }
    text.sendCommandResponse("SCREENSHOT_DATA:" + platform::base64Encode(png));
}

void VideoCommands::listWindows() {
    auto& screenCapture = context_.platform.screenCapture;
    if (!screenCapture) {
        context_.text.sendCommandResponse("LIST_WINDOWS:[]");
        return;
    }
    const nlohmann::json targets = video::listCaptureTargets(*screenCapture, context_.text);
    std::string serialised;
    try {
        serialised = targets.dump();
    } catch (const nlohmann::json::exception&) {
        // A title that is not UTF-8 cannot travel as JSON text.
        context_.text.sendCommandResponse("LIST_WINDOWS:[]");
        return;
    }
    context_.text.sendCommandResponse("LIST_WINDOWS:" + serialised);
}

}  // namespace ostrovane::app
