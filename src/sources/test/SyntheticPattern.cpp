#include "sources/test/SyntheticPattern.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "streaming/AudioOutputFormat.h"

namespace ostrovane::sources {

namespace {

constexpr double kFullScale = 32767.0;
constexpr double kRate = static_cast<double>(streaming::AudioOutputFormat::sampleRate);

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
// Spelled out for compilers without aggregate deduction.
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

bool finite(double v) {
    return std::isfinite(v);
}

// Clamping before the conversion keeps huge values defined.
std::int16_t toSample(double value) {
    return static_cast<std::int16_t>(std::trunc(std::clamp(value, -32768.0, 32767.0)));
}

// Uniform in [low, high], both ends included, from an integer in 0...2^53.
double uniform(double low, double high, std::mt19937_64& random) {
    constexpr std::uint64_t kSteps = std::uint64_t{1} << 53;
    const std::uint64_t k = std::uniform_int_distribution<std::uint64_t>(0, kSteps)(random);
    if (k == kSteps)
        return high;
    return low + (high - low) * static_cast<double>(k) * 0x1p-53;
}

std::string fixed3(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", v);
    return text;
}

// A frequency as an integer, truncated toward zero.
std::string hertz(double v) {
    char text[400];
    std::snprintf(text, sizeof text, "%.0f", std::trunc(v));
    return text;
}

bool squareHasPeriod(double frequency) {
    return finite(frequency) && frequency > 0 && std::trunc(kRate / frequency) >= 1;
}

}  // namespace

bool isGenerable(const SyntheticPattern& pattern) {
    return std::visit(
        Overloaded{
            [](const pattern::Dc& p) { return finite(p.amplitude); },
            [](const pattern::Sine& p) { return finite(p.frequency) && finite(p.amplitude); },
            [](const pattern::Square& p) {
                return finite(p.amplitude) && squareHasPeriod(p.frequency);
            },
            [](const pattern::Noise& p) { return finite(p.rms); },
            [](const pattern::Custom& p) { return static_cast<bool>(p.sample); },
            [](const pattern::Silence&) { return true; },
        },
        pattern);
}

double expectedRMS(const SyntheticPattern& pattern) {
    if (std::holds_alternative<pattern::Custom>(pattern))
        return -1.0;
    if (!isGenerable(pattern))
        return 0.0;
    return std::visit(Overloaded{
                          [](const pattern::Dc& p) { return p.amplitude; },
                          [](const pattern::Sine& p) { return p.amplitude / std::numbers::sqrt2; },
                          [](const pattern::Square& p) { return p.amplitude; },
                          [](const pattern::Noise& p) { return p.rms; },
                          [](const pattern::Custom&) { return -1.0; },
                          [](const pattern::Silence&) { return 0.0; },
                      },
                      pattern);
}

std::string describe(const SyntheticPattern& pattern) {
    return std::visit(
        Overloaded{
            [](const pattern::Dc& p) { return "dc(" + fixed3(p.amplitude) + ")"; },
            [](const pattern::Sine& p) {
                return "sine(" + hertz(p.frequency) + "Hz, " + fixed3(p.amplitude) + ")";
            },
            [](const pattern::Square& p) {
                return "square(" + hertz(p.frequency) + "Hz, " + fixed3(p.amplitude) + ")";
            },
            [](const pattern::Noise& p) { return "noise(rms=" + fixed3(p.rms) + ")"; },
            [](const pattern::Custom&) { return std::string("custom"); },
            [](const pattern::Silence&) { return std::string("silence"); },
        },
        pattern);
}

std::int16_t generateSample(const SyntheticPattern& pattern, std::int64_t index,
                            std::mt19937_64& random) {
    if (!isGenerable(pattern))
        return 0;
    const double n = static_cast<double>(index);
    return std::visit(
        Overloaded{
            [](const pattern::Dc& p) { return toSample(p.amplitude * kFullScale); },
            [n](const pattern::Sine& p) {
                return toSample(std::sin(((p.frequency * (2.0 * std::numbers::pi)) * n) / kRate) *
                                p.amplitude * kFullScale);
            },
            [n](const pattern::Square& p) {
                // In doubles: periods beyond the integer range stay defined.
                const double period = std::trunc(kRate / p.frequency);
                const double half = std::trunc(kRate / p.frequency * 0.5);
                const double sign = std::fmod(n, period) < half ? 1.0 : -1.0;
                return toSample(sign * p.amplitude * kFullScale);
            },
            [&random](const pattern::Noise& p) {
                const double u1 = uniform(0.001, 1.0, random);
                const double u2 = uniform(0.0, 1.0, random);
                return toSample(std::sqrt(-2.0 * std::log(u1)) *
                                std::cos(2.0 * std::numbers::pi * u2) * p.rms * kFullScale);
            },
            [index](const pattern::Custom& p) { return p.sample(index); },
            [](const pattern::Silence&) { return std::int16_t{0}; },
        },
        pattern);
}

}  // namespace ostrovane::sources
