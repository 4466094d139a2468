#pragma once

#include <cstdint>
#include <optional>

namespace ostrovane::sources::system {

enum class RecoveryKind { normal, contention };

// Identifies one scheduled rebuild: the capture session it belongs to and the
// request it answers. A rebuild acts only while both are still current.
struct RecoveryTicket {
    std::uint64_t generation = 0;
    std::uint64_t nonce = 0;
    RecoveryKind kind = RecoveryKind::normal;
    bool operator==(const RecoveryTicket&) const = default;
};

// How much rebuilding is allowed: a normal budget for stalls, errors and
// wake-ups, and a larger, shorter one for another application taking the
// capture over.
struct RecoveryLimits {
    double recoveryWindowSeconds = 300.0;
    std::int64_t recoveryMaxAttempts = 3;
    double contentionWindowSeconds = 60.0;
    std::int64_t contentionMaxAttempts = 15;
};

// The bookkeeping of stream rebuilds: which session is current, which request
// is newest, whether one is pending, whether the source is fighting for the
// capture, and the two budgets with their lazily renewed windows.
//
// Pure logic on a clock reading passed in (seconds, monotonic). Not
// synchronised: it lives under its owner's lock. `live` is the owner's
// "active and not stopping".
class RecoveryBudget {
  public:
    explicit RecoveryBudget(double now, RecoveryLimits limits = {});

    struct NormalDecision {
        std::optional<RecoveryTicket> ticket;  // set: schedule a rebuild with it
        bool overBudget = false;               // refused because the window's budget is spent
        bool firstRefusal = false;             // the window's first refusal over budget
    };
    struct ContentionDecision {
        bool proceed = false;
        std::int64_t attempt = 0;  // attempts in the window (the new one when proceeding)
        bool exhausted = false;
        bool preemptedNormal = false;  // a pending normal rebuild was taken over
        RecoveryTicket ticket;         // valid when proceeding
    };

    // A stall, a stream error or a wake-up asks for a rebuild. One rebuild at
    // a time; at most recoveryMaxAttempts per window.
    NormalDecision requestNormal(double now, bool live);
    // Another application interrupted the capture. Takes over a pending
    // normal rebuild; at most contentionMaxAttempts per window.
    ContentionDecision requestContention(double now, bool live);

    // Both the session and the request are still the newest.
    bool isCurrent(const RecoveryTicket& ticket) const {
        return ticket.generation == _generation && ticket.nonce == _nonce;
    }
    bool isValid(const RecoveryTicket& ticket, bool live) const {
        return live && isCurrent(ticket);
    }

    // The gate of a delayed rebuild. Returns whether it may run; when it may
    // not, a rebuild that is merely inactive gives up its pending flag, and a
    // normal one that a newer request superseded gives its attempt back.
    bool admit(const RecoveryTicket& ticket, bool live);

    // A rebuild ended. Returns true when a failed contention rebuild should
    // be retried at once instead of waiting for the watchdog.
    bool finish(const RecoveryTicket& ticket, bool succeeded, bool live);

    // Reads and clears the contention flag (audio arrived: the capture is ours).
    bool takeContentionFlag();

    // A fresh start: both budgets restart now, nothing pending.
    void reset(double now);
    // The session ended (stop or forced clean-up): every ticket handed out so
    // far becomes stale.
    void endSession();
    void clearScheduled() { _scheduled = false; }

    bool recoveryScheduled() const { return _scheduled; }
    bool inContentionRecovery() const { return _inContention; }
    std::int64_t recoveryAttempts() const { return _recoveryAttempts; }
    std::int64_t contentionRecoveryAttempts() const { return _contentionAttempts; }
    std::uint64_t sessionGeneration() const { return _generation; }
    std::uint64_t recoveryNonce() const { return _nonce; }
    const RecoveryLimits& limits() const { return limits_; }

  private:
    const RecoveryLimits limits_;
    std::uint64_t _generation = 0;
    std::uint64_t _nonce = 0;
    bool _scheduled = false;
    bool _inContention = false;
    std::int64_t _recoveryAttempts = 0;
    bool _refused = false;  // a request was refused over budget in this window
    double _recoveryWindowStart;
    std::int64_t _contentionAttempts = 0;
    double _contentionWindowStart;
};

}  // namespace ostrovane::sources::system
