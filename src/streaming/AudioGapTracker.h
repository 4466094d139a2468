#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "dispatch/Clock.h"

namespace ostrovane::streaming {

// Why audio that belongs on a stream's timeline is missing.
enum class GapReason {
    outputTooSlow,  // dropped from full buffers: the parent did not read
    sourceSilent,   // the source delivered nothing for a while, then went on
    lateStart,      // the stream's first audio came late
};

const char* gapReasonText(GapReason reason);

// "AUDIO_GAP:{"stream":…,"sequence":…,"durationMs":…,"reason":…,"timestamp":…}"
std::string audioGapPayload(const char* stream, std::uint32_t sequence, std::int64_t durationMs,
                            GapReason reason, double timestamp);

// Finds where one stream's source left a hole in its timeline, from what it
// delivered and when. A source is taken to be silent once it has delivered
// nothing for more than kSilenceThreshold; when it delivers again, the hole is
// what its audio falls short of the time since streaming began, beyond the
// lag it had before it went silent. The amount is measured once the source
// has delivered for kSettleTime again, so that a source that hands over what
// it held back in a burst (a sound server after a hiccup, a source that posts
// in large blocks) reports no hole for audio that did come.
//
// Pauses too short to count as silence (a recording moved to another device)
// still cost audio: once the lag has stayed more than kMinimumRiseMs above its
// lowest since the source last settled for kRiseSamples samples in a row, the
// rise is a hole too, placed where it was first seen.
//
// Pure logic; the caller samples it at a steady pace (the gap watch).
class SourceGapTracker {
  public:
    static constexpr dispatch::Duration kSilenceThreshold = dispatch::milliseconds(100);
    static constexpr dispatch::Duration kSettleTime = dispatch::milliseconds(200);
    // A shortfall smaller than this is the jitter of delivery, not a hole.
    static constexpr double kMinimumGapMs = 20;
    // The lag before a silence is the smallest seen over this many samples.
    static constexpr int kLagSamples = 10;
    // A lasting rise of the lag smaller than this may be the server holding
    // more audio after a change of its graph, not audio lost.
    static constexpr double kMinimumRiseMs = 40;
    // ... and it must last this many samples: a server that held audio back
    // hands it over within a few seconds.
    static constexpr int kRiseSamples = 30;

    struct Hole {
        std::int64_t position = 0;  // bytes the source had delivered before it
        std::int64_t durationMs = 0;
        GapReason reason = GapReason::sourceSilent;
    };

    // `elapsed`: time since streaming began; `delivered`: bytes delivered
    // since then; `lastDelivery`: when the last bytes came (since streaming
    // began), nothing before the first.
    std::optional<Hole> sample(dispatch::Duration elapsed, std::int64_t delivered,
                               std::optional<dispatch::Duration> lastDelivery);

    // Milliseconds of holes reported so far.
    std::int64_t reportedMs() const { return reportedMs_; }

  private:
    enum class Phase { awaitingFirst, flowing, silent, settling };

    double lagMs(dispatch::Duration elapsed, std::int64_t delivered) const;
    std::optional<Hole> followLag(double lag, std::int64_t delivered);

    Phase phase_ = Phase::awaitingFirst;
    bool firstAudio_ = true;
    std::int64_t reportedMs_ = 0;
    double lags_[kLagSamples] = {};
    int lagCount_ = 0;
    int lagNext_ = 0;
    double baselineMs_ = 0;
    std::int64_t holeAt_ = 0;
    std::int64_t deliveredAtSilence_ = 0;
    std::optional<dispatch::Duration> settlingSince_;
    double settleMinimumMs_ = 0;
    std::optional<double> settledLagMs_;  // the lag's lowest since it last settled
    std::optional<std::int64_t> riseAt_;  // where a lasting rise above it began
    double riseMinimumMs_ = 0;
    int riseSamples_ = 0;
};

}  // namespace ostrovane::streaming
