#include "sources/mic/SilenceDetector.h"

namespace ostrovane::sources::mic {

SilenceDetector::Action SilenceDetector::update(double frameRms, double now) {
    // Written so that NaN fails the comparison and lands on the silent side.
    const bool sound = frameRms > config_.rmsThreshold;
    if (sound) {
        if (attempts_ >= 1) {
            reset();
            return Action::recovered();
        }
        if (silenceStart_ || alerted_) {
            const bool wasAlerted = alerted_;
            reset();
            return wasAlerted ? Action::recovered() : Action::none();
        }
        return Action::none();
    }

    if (!silenceStart_)
        silenceStart_ = now;
    if (recoveryInFlight_ || alerted_)
        return Action::none();
    if (attempts_ == 0) {
        if (now - *silenceStart_ < config_.detectBeforeRecovery)
            return Action::none();
        attempts_ = 1;
        lastAttemptTime_ = now;
        recoveryInFlight_ = true;
        return Action::attemptRecovery(1, config_.maxRecoveryAttempts);
    }
    if (now - lastAttemptTime_ < config_.recoveryCooldown)
        return Action::none();
    if (attempts_ >= config_.maxRecoveryAttempts) {
        alerted_ = true;
        return Action::failed(attempts_);
    }
    ++attempts_;
    lastAttemptTime_ = now;
    recoveryInFlight_ = true;
    return Action::attemptRecovery(attempts_, config_.maxRecoveryAttempts);
}

void SilenceDetector::reset() {
    silenceStart_.reset();
    attempts_ = 0;
    lastAttemptTime_ = 0;
    alerted_ = false;
    recoveryInFlight_ = false;
}

}  // namespace ostrovane::sources::mic
