#pragma once

#include <compare>
#include <cstdint>

namespace ostrovane::platform {

// A rational media time (value / timescale seconds), as capture and encoder
// services stamp samples. A timescale of 0 marks an invalid time.
struct MediaTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;

    bool isValid() const { return timescale > 0; }
    double seconds() const { return isValid() ? static_cast<double>(value) / timescale : 0.0; }

    static MediaTime fromSeconds(double s, std::int32_t timescale = 1'000'000'000) {
        return {static_cast<std::int64_t>(s * timescale), timescale};
    }
    bool operator==(const MediaTime&) const = default;
};

}  // namespace ostrovane::platform
