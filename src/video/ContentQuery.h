#pragma once

#include <chrono>

#include "platform/ScreenCapture.h"

namespace ostrovane::video {

// How long a command waits for one answer of the screen-capture service.
inline constexpr std::chrono::seconds kServiceAnswerLimit{10};

// Asks the service for its shareable content and waits for the answer, at
// most kServiceAnswerLimit; a service that does not answer in time gives an
// error instead of holding the caller for ever.
platform::Result<platform::ShareableContent> queryShareableContent(
    platform::ScreenCapture& screenCapture, const platform::ShareableContentOptions& options);

// One screenshot, waited for in the same way.
platform::Result<platform::Image> takeScreenshot(
    platform::ScreenCapture& screenCapture, const platform::ContentFilter& filter,
    const platform::StreamConfiguration& configuration);

// The error a late answer becomes.
platform::Error serviceTimeoutError();

}  // namespace ostrovane::video
