#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

// Sample representation <-> double in [-1, 1). Integers use full scale 2^15 or
// 2^31, so integer -> double -> integer is exact and float -> int16 rounds to
// nearest with clipping. Used only inside the converter.
namespace ostrovane::platform::sample_codec {

template <typename T>
inline double toDouble(T value) {
    if constexpr (std::is_same_v<T, std::int16_t>) {
        return value * (1.0 / 32768.0);
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        return value * (1.0 / 2147483648.0);
    } else {
        return static_cast<double>(value);
    }
}

template <typename T>
inline T fromDouble(double value) {
    if constexpr (std::is_same_v<T, std::int16_t> || std::is_same_v<T, std::int32_t>) {
        constexpr double kScale = std::is_same_v<T, std::int16_t> ? 32768.0 : 2147483648.0;
        double scaled = value * kScale;
        if (scaled != scaled)
            return 0;  // NaN carries no signal
        if (scaled >= kScale - 1)
            return static_cast<T>(kScale - 1);
        if (scaled <= -kScale)
            return static_cast<T>(-kScale);
        return static_cast<T>(std::lrint(scaled));
    } else {
        return static_cast<T>(value);
    }
}

}  // namespace ostrovane::platform::sample_codec
