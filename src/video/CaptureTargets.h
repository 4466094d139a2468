#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/ScreenCapture.h"
#include "protocol/TextChannel.h"

namespace ostrovane::video {

// The widest a target list's thumbnail is, in pixels.
inline constexpr std::int64_t kThumbnailWidth = 240;

// The size and settings of a thumbnail of `filter` at most `maxWidth` pixels
// wide: never enlarged, never smaller than 64 × 48.
platform::StreamConfiguration thumbnailConfiguration(const platform::ContentFilter& filter,
                                                     std::int64_t maxWidth);

// A PNG thumbnail of the filter's content as a data URL, or nothing when the
// screenshot or the encoding failed.
std::optional<std::string> captureCaptureTargetThumbnail(platform::ScreenCapture& screenCapture,
                                                         const platform::ContentFilter& filter,
                                                         std::int64_t maxWidth);

// What the parent can capture: every display, then every on-screen window a
// user would recognise as an application window, each with its name, size,
// position (top-left origin, y downward from the top of the primary screen)
// and a thumbnail when one could be made. Never fails: a failed query gives
// an empty list (and is logged); thumbnails that do not arrive in time are
// left out. The thumbnails of one call are taken concurrently.
nlohmann::json listCaptureTargets(platform::ScreenCapture& screenCapture,
                                  const protocol::TextChannel& text);

// True when a window titled `title` is the system's backstop behind a
// display ("Display <digits> Backstop").
bool isBackstopTitle(const std::string& title);

}  // namespace ostrovane::video
