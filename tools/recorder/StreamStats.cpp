#include "recorder/StreamStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace ostrovane::tools {

namespace {
constexpr double kFullScale = 32768.0;

double toDbfs(double amplitude) {
    return amplitude > 0 ? 20.0 * std::log10(amplitude / kFullScale)
                         : -std::numeric_limits<double>::infinity();
}
}  // namespace

void StreamStats::addFrame(std::uint32_t sequence, std::span<const std::uint8_t> pcm16) {
    if (!first_) {
        first_ = sequence;
    } else if (sequence != next_) {
        ++gaps_;
        missing_ += static_cast<std::uint32_t>(sequence - next_);  // wraps like the counter
    }
    next_ = sequence + 1;
    ++frames_;

    double frameSum = 0;
    const std::size_t count = pcm16.size() / 2;
    for (std::size_t i = 0; i < count; ++i) {
        const auto s = static_cast<std::int16_t>(pcm16[2 * i] | (pcm16[2 * i + 1] << 8));
        frameSum += static_cast<double>(s) * s;
        peak_ = std::max(peak_, std::abs(static_cast<std::int32_t>(s)));
    }
    sumSquares_ += frameSum;
    samples_ += count;
    if (count > 0)
        lastFrameDbfs_ = toDbfs(std::sqrt(frameSum / count));
}

double StreamStats::peakDbfs() const {
    return toDbfs(peak_);
}

double StreamStats::rmsDbfs() const {
    return samples_ == 0 ? toDbfs(0) : toDbfs(std::sqrt(sumSquares_ / samples_));
}

std::optional<std::pair<std::int64_t, std::int64_t>> droppedAudioTotals(const std::string& line) {
    static const std::string kPrefix = "SimpleAudioStreamer: audio dropped";
    const auto total = line.rfind(", total ");
    if (line.compare(0, kPrefix.size(), kPrefix) != 0 || total == std::string::npos)
        return std::nullopt;
    long long mic = 0;
    long long system = 0;
    if (std::sscanf(line.c_str() + total, ", total mic=%lldms sys=%lldms", &mic, &system) != 2)
        return std::nullopt;
    return std::pair<std::int64_t, std::int64_t>{mic, system};
}

std::string formatDbfs(double dbfs) {
    if (std::isinf(dbfs))
        return "-inf dBFS";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dBFS", dbfs);
    return text;
}

}  // namespace ostrovane::tools
