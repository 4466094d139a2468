#include "sources/system/RecoveryBudget.h"

#include <utility>

namespace ostrovane::sources::system {

RecoveryBudget::RecoveryBudget(double now, RecoveryLimits limits)
    : limits_(limits), _recoveryWindowStart(now), _contentionWindowStart(now) {}

RecoveryBudget::NormalDecision RecoveryBudget::requestNormal(double now, bool live) {
    if (!live) {
        _scheduled = false;
        return {};
    }
    if (_scheduled)
        return {};
    if (now - _recoveryWindowStart > limits_.recoveryWindowSeconds) {
        _recoveryWindowStart = now;
        _recoveryAttempts = 0;
        _refused = false;
    }
    if (_recoveryAttempts >= limits_.recoveryMaxAttempts)
        return {.ticket = std::nullopt,
                .overBudget = true,
                .firstRefusal = !std::exchange(_refused, true)};
    _scheduled = true;
    ++_recoveryAttempts;
    ++_nonce;
    return {.ticket = RecoveryTicket{_generation, _nonce, RecoveryKind::normal}};
}

RecoveryBudget::ContentionDecision RecoveryBudget::requestContention(double now, bool live) {
    ContentionDecision decision;
    if (!live)
        return decision;
    if (_scheduled && _inContention)
        return decision;  // a contention rebuild is already pending
    if (_scheduled) {
        // The pending normal rebuild goes stale through the nonce below.
        _scheduled = false;
        decision.preemptedNormal = true;
    }
    if (now - _contentionWindowStart > limits_.contentionWindowSeconds) {
        _contentionWindowStart = now;
        _contentionAttempts = 0;
    }
    if (_contentionAttempts >= limits_.contentionMaxAttempts) {
        _inContention = false;
        decision.attempt = _contentionAttempts;
        decision.exhausted = true;
        return decision;
    }
    _scheduled = true;
    _inContention = true;
    ++_contentionAttempts;
    ++_nonce;
    decision.proceed = true;
    decision.attempt = _contentionAttempts;
    decision.ticket = RecoveryTicket{_generation, _nonce, RecoveryKind::contention};
    return decision;
}

bool RecoveryBudget::admit(const RecoveryTicket& ticket, bool live) {
    if (isValid(ticket, live))
        return true;
    if (isCurrent(ticket)) {
        _scheduled = false;
    } else if (ticket.generation == _generation && ticket.kind == RecoveryKind::normal &&
               _recoveryAttempts >= 1) {
        --_recoveryAttempts;
    }
    return false;
}

bool RecoveryBudget::finish(const RecoveryTicket& ticket, bool succeeded, bool live) {
    if (!isCurrent(ticket))
        return false;
    _scheduled = false;
    return !succeeded && _inContention && live;
}

bool RecoveryBudget::takeContentionFlag() {
    const bool was = _inContention;
    _inContention = false;
    return was;
}

void RecoveryBudget::reset(double now) {
    _recoveryAttempts = 0;
    _refused = false;
    _recoveryWindowStart = now;
    _scheduled = false;
    _contentionAttempts = 0;
    _contentionWindowStart = now;
    _inContention = false;
}

void RecoveryBudget::endSession() {
    ++_generation;
    _scheduled = false;
    _inContention = false;
}

}  // namespace ostrovane::sources::system
