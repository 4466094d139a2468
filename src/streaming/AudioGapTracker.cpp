#include "streaming/AudioGapTracker.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "streaming/AudioOutputFormat.h"

namespace ostrovane::streaming {

namespace {
constexpr double kBytesPerMillisecond = AudioOutputFormat::frameSize / 20.0;
}  // namespace

const char* gapReasonText(GapReason reason) {
    switch (reason) {
        case GapReason::outputTooSlow:
            return "output_too_slow";
        case GapReason::sourceSilent:
            return "source_silent";
        case GapReason::lateStart:
            return "late_start";
    }
    return "unknown";
}

std::string audioGapPayload(const char* stream, std::uint32_t sequence, std::int64_t durationMs,
                            GapReason reason, double timestamp) {
    const nlohmann::ordered_json object = {{"stream", stream},
                                           {"sequence", sequence},
                                           {"durationMs", durationMs},
                                           {"reason", gapReasonText(reason)},
                                           {"timestamp", timestamp}};
    return "AUDIO_GAP:" + object.dump();
}

double SourceGapTracker::lagMs(dispatch::Duration elapsed, std::int64_t delivered) const {
    return dispatch::toSeconds(elapsed) * 1000.0 -
           (static_cast<double>(delivered) / kBytesPerMillisecond +
            static_cast<double>(reportedMs_));
}

std::optional<SourceGapTracker::Hole> SourceGapTracker::followLag(double lag,
                                                                  std::int64_t delivered) {
    if (!settledLagMs_ || lag < *settledLagMs_)
        settledLagMs_ = lag;
    if (lag < *settledLagMs_ + kMinimumRiseMs) {
        riseAt_.reset();
        return std::nullopt;
    }
    if (!riseAt_) {
        riseAt_ = delivered;
        riseMinimumMs_ = lag;
        riseSamples_ = 0;
    }
    riseMinimumMs_ = std::min(riseMinimumMs_, lag);
    if (++riseSamples_ < kRiseSamples)
        return std::nullopt;
    const auto durationMs =
        static_cast<std::int64_t>(std::llround(riseMinimumMs_ - *settledLagMs_));
    const Hole hole{*riseAt_, durationMs, GapReason::sourceSilent};
    reportedMs_ += durationMs;
    riseAt_.reset();
    return hole;
}

std::optional<SourceGapTracker::Hole> SourceGapTracker::sample(
    dispatch::Duration elapsed, std::int64_t delivered,
    std::optional<dispatch::Duration> lastDelivery) {
    const double lag = lagMs(elapsed, delivered);
    const bool quiet = !lastDelivery || elapsed - *lastDelivery > kSilenceThreshold;
    switch (phase_) {
        case Phase::awaitingFirst:
            if (delivered == 0)
                return std::nullopt;
            // Before its first audio the source owes the whole time since the start.
            baselineMs_ = 0;
            holeAt_ = 0;
            phase_ = Phase::settling;
            settlingSince_ = elapsed;
            settleMinimumMs_ = lag;
            return std::nullopt;
        case Phase::flowing:
            if (!quiet) {
                lags_[lagNext_] = lag;
                lagNext_ = (lagNext_ + 1) % kLagSamples;
                lagCount_ = std::min(lagCount_ + 1, kLagSamples);
                return followLag(lag, delivered);
            }
            riseAt_.reset();
            baselineMs_ = lagCount_ ? *std::min_element(lags_, lags_ + lagCount_) : lag;
            holeAt_ = delivered;
            deliveredAtSilence_ = delivered;
            phase_ = Phase::silent;
            return std::nullopt;
        case Phase::silent:
            if (delivered == deliveredAtSilence_)
                return std::nullopt;
            phase_ = Phase::settling;
            settlingSince_ = elapsed;
            settleMinimumMs_ = lag;
            return std::nullopt;
        case Phase::settling:
            settleMinimumMs_ = std::min(settleMinimumMs_, lag);
            if (quiet && !firstAudio_) {
                // Silent again before the amount was known: one hole, measured later.
                deliveredAtSilence_ = delivered;
                phase_ = Phase::silent;
                return std::nullopt;
            }
            if (elapsed - *settlingSince_ < kSettleTime)
                return std::nullopt;
            break;
    }
    const double shortfall = settleMinimumMs_ - baselineMs_;
    const GapReason reason = firstAudio_ ? GapReason::lateStart : GapReason::sourceSilent;
    firstAudio_ = false;
    phase_ = Phase::flowing;
    lagCount_ = 0;
    lagNext_ = 0;
    settledLagMs_.reset();
    if (shortfall < kMinimumGapMs)
        return std::nullopt;
    const auto durationMs = static_cast<std::int64_t>(std::llround(shortfall));
    reportedMs_ += durationMs;
    return Hole{holeAt_, durationMs, reason};
}

}  // namespace ostrovane::streaming
