#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "servers/PrivatePulseServer.h"
#include "support/PrivateXServer.h"

namespace ostrovane::bench {

// What a whole-process audio benchmark runs the helper against: a private
// PulseAudio (null sink `ostrovane_speakers` as the default output) and a
// private Xvfb, because the system audio needs a display to exist. Both are
// stopped and removed when the rig goes away.
class CaptureRig {
  public:
    CaptureRig();

    // Whether both servers run; why not otherwise.
    bool ready() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }

    test::PrivatePulseServer& pulse() { return *pulse_; }

    // Runs `pactl` with `arguments`; records the failure and returns false
    // when it does not succeed.
    bool pactl(const std::vector<std::string>& arguments);
    // Starts a 1 kHz tone playing into the speakers, as a running application
    // would.
    bool playIntoSpeakers() {
        return pactl({"load-module", "module-sine",
                      std::string("sink=") + test::PrivatePulseServer::kSpeakers,
                      "frequency=1000"});
    }

    // The environment a client of the private servers runs with.
    std::vector<std::string> environment() const;

  private:
    std::unique_ptr<test::PrivatePulseServer> pulse_;
    std::unique_ptr<test::PrivateXServer> x_;
    std::string failure_;
};

// The measured window of the long benchmarks: OSTROVANE_BENCH_SECONDS, or
// `fallback`.
std::chrono::milliseconds measuredWindow(std::chrono::seconds fallback);

// Waits until `predicate` holds, checking every 20 ms, at most `limit`.
template <typename Predicate>
bool waitUntil(Predicate predicate, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace ostrovane::bench
