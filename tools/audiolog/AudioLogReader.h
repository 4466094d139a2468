#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "audiolog/AudioLogDiff.h"
#include "platform/pulse/PulseConnection.h"

namespace ostrovane::tools {

// Follows the connection's model and writes one log line per application
// that starts or stops running audio input. What runs at start-up is the
// baseline and is not reported. Processes in `ignored` are never reported.
//
// Threads: everything but `start` runs on the connection's event queue, which
// serialises the model notifications; the connection outlives the reader's
// use of it because it owns that queue.
class AudioLogReader : public platform::pulse::ModelObserver,
                       public std::enable_shared_from_this<AudioLogReader> {
  public:
    // Called once, on the event queue, when the reader cannot go on: the
    // connection was lost or the output closed. The argument says why.
    using EndHandler = std::function<void(const std::string& reason)>;

    static std::shared_ptr<AudioLogReader> start(platform::pulse::PulseConnection& connection,
                                                 std::set<std::int32_t> ignored, int outputFd,
                                                 EndHandler ended);

    void modelChanged(const platform::pulse::ModelChanges& changes) override;

    AudioLogReader(platform::pulse::PulseConnection& connection, std::set<std::int32_t> ignored,
                   int outputFd, EndHandler ended);

  private:
    void takeBaseline();
    InputSnapshot snapshot();
    bool writeAll(const std::string& text);
    void end(const std::string& reason);

    platform::pulse::PulseConnection& connection_;
    const std::set<std::int32_t> ignored_;
    const int outputFd_;
    const EndHandler ended_;

    // Event queue only.
    std::optional<InputSnapshot> known_;  // nothing until the baseline is taken
    bool ending_ = false;
};

}  // namespace ostrovane::tools
