#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrovane::monitoring {

// Processes of the audio system and of the helper itself: they run audio
// input for others (or for us) and are never reported as applications.
inline constexpr std::array<std::string_view, 16> systemDaemons{"coreaudiod",
                                                                "audiod",
                                                                "mediaserverd",
                                                                "appleh13camerad",
                                                                "cameraassistantd",
                                                                "systemsoundserve",
                                                                "systemsoundserverd",
                                                                "audiomxd",
                                                                "avconferenced",
                                                                "corespeechd",
                                                                "localspeechrecognition",
                                                                "speechrecognitionserver",
                                                                "corespeech",
                                                                "[implicit]",
                                                                "replayd",
                                                                "ostrovane"};

// True when the hint, the name or the bundle id (lower-cased, in that order,
// empty ones skipped; of a "path:" id only the file name) contains an entry
// of systemDaemons, or one of the platform's own daemon names after them, as
// a lower-case substring.
bool isSystemDaemon(const std::optional<std::string>& processNameHint,
                    const std::optional<std::string>& appName,
                    const std::optional<std::string>& bundleId,
                    const std::vector<std::string>& platformDaemons = {});

}  // namespace ostrovane::monitoring
