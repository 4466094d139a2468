#pragma once

#include <cstdint>
#include <optional>

namespace ostrovane::sources::mic {

// Watches the loudness of every measured microphone buffer and decides when a
// silent input deserves a restart of the capture session, and when to give up.
//
// After `detectBeforeRecovery` seconds of silence it asks for a first attempt;
// further attempts follow at least `recoveryCooldown` seconds apart, each only
// once the previous restart has finished (recoveryFinished). When
// `maxRecoveryAttempts` attempts have not brought sound back, one more
// cooldown later it reports failure once. Sound after any attempt or after the
// failure report is reported as recovered.
//
// A plain value: the owner serialises access (the microphone source keeps it
// under its state lock).
class SilenceDetector {
  public:
    struct Config {
        double rmsThreshold = 0.00001;      // at or below: silent
        double detectBeforeRecovery = 8.0;  // seconds of silence before the first attempt
        double recoveryCooldown = 6.0;      // seconds between attempts and before failing
        std::int64_t maxRecoveryAttempts = 3;
    };

    struct Action {
        enum class Kind { attemptRecovery, failed, none, recovered };

        Kind kind = Kind::none;
        std::int64_t attempt = 0;      // attemptRecovery: 1-based; failed: attempts made
        std::int64_t maxAttempts = 0;  // attemptRecovery only

        static Action attemptRecovery(std::int64_t attempt, std::int64_t maxAttempts) {
            return {Kind::attemptRecovery, attempt, maxAttempts};
        }
        static Action failed(std::int64_t attempts) { return {Kind::failed, attempts, 0}; }
        static Action none() { return {}; }
        static Action recovered() { return {Kind::recovered, 0, 0}; }

        bool operator==(const Action&) const = default;
    };

    SilenceDetector() = default;
    explicit SilenceDetector(Config config) : config_(config) {}

    // One measured buffer: its RMS (0..1 full scale; NaN counts as silence)
    // and the uptime in seconds at which it was measured.
    Action update(double frameRms, double now);

    // Forgets the current silent stretch (start, device change).
    void reset();
    // The restart asked for by the last attemptRecovery is over.
    void recoveryFinished() { recoveryInFlight_ = false; }

    const Config& config() const { return config_; }
    std::optional<double> silenceStart() const { return silenceStart_; }
    std::int64_t attempts() const { return attempts_; }
    bool alerted() const { return alerted_; }
    bool recoveryInFlight() const { return recoveryInFlight_; }

  private:
    Config config_{};
    std::optional<double> silenceStart_;
    std::int64_t attempts_ = 0;
    double lastAttemptTime_ = 0;
    bool alerted_ = false;
    bool recoveryInFlight_ = false;
};

}  // namespace ostrovane::sources::mic
