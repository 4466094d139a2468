#include "CaptureRig.h"

#include <cstdlib>
#include <stdexcept>

#include "StreamingHelper.h"

namespace ostrovane::bench {

CaptureRig::CaptureRig() {
    pulse_ = std::make_unique<test::PrivatePulseServer>();
    if (!pulse_->ready()) {
        failure_ = "private PulseAudio: " + pulse_->failure();
        return;
    }
    try {
        x_ = std::make_unique<test::PrivateXServer>();
    } catch (const std::exception& e) {
        failure_ = std::string("private Xvfb: ") + e.what();
        return;
    }
    if (!x_->ready())
        failure_ = "private Xvfb did not start";
}

bool CaptureRig::pactl(const std::vector<std::string>& arguments) {
    if (pulse_->pactl(arguments))
        return true;
    std::string command = "pactl";
    for (const auto& a : arguments)
        command += " " + a;
    failure_ = command + " failed";
    return false;
}

std::vector<std::string> CaptureRig::environment() const {
    return withVariable(pulse_->environment(), "DISPLAY=" + x_->name());
}

std::chrono::milliseconds measuredWindow(std::chrono::seconds fallback) {
    const char* text = std::getenv("OSTROVANE_BENCH_SECONDS");
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (*end != '\0' || !(seconds > 0))
        return fallback;
    return std::chrono::milliseconds(static_cast<long>(seconds * 1000));
}

}  // namespace ostrovane::bench
