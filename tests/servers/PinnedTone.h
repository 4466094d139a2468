#pragma once

#include <memory>
#include <string>

namespace ostrovane::test {

// A client of a private sound server playing a half-scale sine tone into one
// sink, pinned there: the server may not move it when the default output
// changes (as it moves the streams of paplay or a sine module along with
// the default). Stops when destroyed.
class PinnedTone {
  public:
    PinnedTone(const std::string& server, const std::string& sink, double hertz);
    ~PinnedTone();
    PinnedTone(const PinnedTone&) = delete;
    PinnedTone& operator=(const PinnedTone&) = delete;

    // Whether the server accepted the stream (within 5 s).
    bool playing() const;

  private:
    struct Player;
    std::unique_ptr<Player> player_;
};

}  // namespace ostrovane::test
