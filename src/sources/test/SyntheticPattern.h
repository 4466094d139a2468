#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <variant>

namespace ostrovane::sources {

// The signals a SyntheticAudioSource can generate. Amplitudes and the noise
// rms are in full-scale units: 1.0 is sample value 32767.
namespace pattern {
struct Dc {
    double amplitude;
};
struct Sine {
    double frequency;
    double amplitude;
};
struct Square {
    double frequency;
    double amplitude;
};
struct Noise {
    double rms;
};
struct Custom {
    std::function<std::int16_t(std::int64_t sampleIndex)> sample;
};
struct Silence {};
}  // namespace pattern

using SyntheticPattern = std::variant<pattern::Dc, pattern::Sine, pattern::Square, pattern::Noise,
                                      pattern::Custom, pattern::Silence>;

// False for patterns with no defined signal: a non-finite amplitude, rms or
// frequency, a square wave whose period is not at least one sample (a
// frequency that is not above 0 or is above 48000 Hz), or a custom pattern
// without a function. Such patterns generate silence.
bool isGenerable(const SyntheticPattern& pattern);

// The level the signal should have (1.0 = full scale); -1 for custom
// patterns, 0 for silence and for patterns that are not generable.
double expectedRMS(const SyntheticPattern& pattern);

// "dc(0.500)", "sine(1000Hz, 1.000)", "square(1000Hz, 0.250)",
// "noise(rms=0.100)", "custom", "silence". Non-finite values print as
// "nan" or "inf".
std::string describe(const SyntheticPattern& pattern);

// Sample `index` of the signal, truncated toward zero and clamped to 16 bits.
// Noise draws from `random`.
std::int16_t generateSample(const SyntheticPattern& pattern, std::int64_t index,
                            std::mt19937_64& random);

}  // namespace ostrovane::sources
