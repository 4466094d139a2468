#pragma once

#include <string>
#include <string_view>

namespace ostrovane::sources::mic {

// Prefixes of the microphone source's own log lines and of its pipeline's.
inline constexpr std::string_view kNativeMicPrefix = "[Native Mic] ";
inline constexpr std::string_view kMicPipelinePrefix = "[MicPipeline] ";

// U+26A0 U+FE0F, in front of the lines that need attention.
inline constexpr std::string_view kWarningSign = "\u26A0\uFE0F";

// A sample rate with at least one decimal: 48000 -> "48000.0", 22050.5 -> "22050.5".
std::string rateText(double rate);

// A number with exactly `decimals` decimals: 0.0123456789, 6 -> "0.012346".
std::string fixedText(double value, int decimals);

}  // namespace ostrovane::sources::mic
