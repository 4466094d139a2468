// Click-to-frame delay: how long after a sound reaches the microphone the
// parent reads it. The microphone is a FIFO-fed source fed in real time (a
// quiet noise floor, and now and then a 10 ms full-scale click); the delay
// runs from writing a click into the FIFO to reading the first microphone
// frame whose level shows it. For reference, the same clicks are first
// timed through a plain `parec` recording of the source, which is what the
// sound server and the FIFO alone add.
//
// The FIFO is fed all the time, as a real microphone delivers: PulseAudio's
// module-pipe-source (16.x) produces nothing while no data comes and does not
// even read its FIFO while nobody records it; the helper then sends no
// microphone frames at all and after 10 s reports that the microphone
// stopped delivering audio.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "CaptureRig.h"
#include "PacedFifoWriter.h"
#include "StreamingHelper.h"
#include "util/Subprocess.h"

namespace {

using namespace ostrovane;
using namespace ostrovane::bench;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kClicks = 20;
constexpr auto kClickSpacing = 300ms;
// A frame level (0..65535) above the noise floor's (about 20): one click
// sample in a 20 ms frame already reads about 2000.
constexpr std::uint16_t kLoudLevel = 1000;
constexpr int kLoudSample = 16000;

// When sound first came out of a stream after quiet: the onset of every
// click, in order.
class Onsets {
  public:
    void observe(bool loud, Clock::time_point when) {
        std::lock_guard lock(mutex_);
        if (loud && !wasLoud_)
            times_.push_back(when);
        wasLoud_ = loud;
    }
    std::vector<Clock::time_point> times() const {
        std::lock_guard lock(mutex_);
        return times_;
    }

  private:
    mutable std::mutex mutex_;
    bool wasLoud_ = false;
    std::vector<Clock::time_point> times_;
};

// How the microphone frames come: frames arriving within 5 ms of the one
// before belong to the same burst.
class Bursts {
  public:
    void observe(Clock::time_point when) {
        std::lock_guard lock(mutex_);
        if (frames_ == 0 || when - last_ > 5ms)
            ++bursts_;
        ++frames_;
        last_ = when;
    }
    double framesPerBurst() const {
        std::lock_guard lock(mutex_);
        return bursts_ ? double(frames_) / double(bursts_) : 0.0;
    }

  private:
    mutable std::mutex mutex_;
    std::uint64_t frames_ = 0;
    std::uint64_t bursts_ = 0;
    Clock::time_point last_;
};

// `parec` recording a source as raw 16-bit samples into a pipe we read.
class RawRecorder {
  public:
    RawRecorder(const std::vector<std::string>& environment, const std::string& source,
                Onsets& onsets)
        : process_(command(environment, source)), onsets_(onsets) {
        thread_ = std::thread([this, fd = process_.takeOutput()] { read(fd.get()); });
    }
    ~RawRecorder() {
        process_.kill(SIGTERM);
        if (!process_.waitForExit(2s)) {
            process_.kill(SIGKILL);
            process_.waitForExit(5s);
        }
        stopping_ = true;
        thread_.join();
    }

  private:
    static std::vector<std::string> command(const std::vector<std::string>& environment,
                                            const std::string& source) {
        std::vector<std::string> argv = {"/usr/bin/env", "-i"};
        argv.insert(argv.end(), environment.begin(), environment.end());
        argv.insert(argv.end(), {"parec", "--device=" + source, "--format=s16le", "--rate=48000",
                                 "--channels=1", "--latency-msec=10", "--raw"});
        return argv;
    }

    void read(int fd) {
        std::array<std::int16_t, 4096> samples;
        while (!stopping_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(fd, samples.data(), sizeof samples);
            if (n <= 0)
                break;
            const auto now = Clock::now();
            const auto end = samples.begin() + n / 2;
            onsets_.observe(
                std::any_of(samples.begin(), end, [](int s) { return std::abs(s) > kLoudSample; }),
                now);
        }
    }

    Subprocess process_;
    Onsets& onsets_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

struct Delays {
    std::vector<double> ms;  // sorted
    std::string failure;

    double median() const {
        const auto n = ms.size();
        return n % 2 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
    }
    // Nearest rank.
    double percentile(double p) const {
        const auto rank = static_cast<std::size_t>(std::ceil(p / 100 * double(ms.size())));
        return ms[std::max<std::size_t>(rank, 1) - 1];
    }
};

// Writes kClicks clicks, spaced so that they fall on different places of the
// 20 ms frames, and pairs each with the onset heard after it.
Delays clickAndListen(PacedFifoWriter& writer, const Onsets& onsets) {
    Delays result;
    std::vector<Clock::time_point> clicks;
    for (int i = 0; i < kClicks; ++i) {
        const auto written = writer.click();
        if (!written) {
            result.failure = "the click was not written: " + writer.failure();
            return result;
        }
        clicks.push_back(*written);
        std::this_thread::sleep_for(kClickSpacing + 5ms * (i % 4));
    }
    std::this_thread::sleep_for(1s);  // for the last click's frames
    std::vector<Clock::time_point> heard;
    for (const auto t : onsets.times()) {
        if (t >= clicks.front())
            heard.push_back(t);
    }
    if (heard.size() != clicks.size()) {
        result.failure = std::to_string(heard.size()) + " onsets heard for " +
                         std::to_string(clicks.size()) + " clicks";
        return result;
    }
    for (std::size_t i = 0; i < clicks.size(); ++i) {
        const auto delay = std::chrono::duration<double, std::milli>(heard[i] - clicks[i]);
        if (delay.count() < 0 || (i + 1 < clicks.size() && heard[i] > clicks[i + 1])) {
            result.failure = "click " + std::to_string(i) + " was heard out of order";
            return result;
        }
        result.ms.push_back(delay.count());
    }
    std::sort(result.ms.begin(), result.ms.end());
    return result;
}

void measureClickDelay(benchmark::State& state) {
    CaptureRig rig;
    const auto mic =
        rig.ready() ? rig.pulse().addPipeSource("bench_mic", "Bench microphone") : std::nullopt;
    if (!rig.ready() || !mic || !rig.pactl({"set-default-source", "bench_mic"}) ||
        !rig.playIntoSpeakers()) {
        state.SkipWithError(rig.failure().empty() ? "cannot load the FIFO-fed microphone"
                                                  : rig.failure().c_str());
        return;
    }
    PacedFifoWriter writer(*mic);
    if (!writer.running()) {
        state.SkipWithError(writer.failure().c_str());
        return;
    }

    // The sound server and the FIFO alone.
    Delays direct;
    std::uint64_t directDropped = 0;
    {
        Onsets onsets;
        RawRecorder parec(rig.pulse().environment(), mic->name, onsets);
        std::this_thread::sleep_for(1500ms);
        const auto dropped0 = writer.chunksDropped();
        direct = clickAndListen(writer, onsets);
        directDropped = writer.chunksDropped() - dropped0;
    }
    if (!direct.failure.empty()) {
        state.SkipWithError(("parec: " + direct.failure).c_str());
        return;
    }

    // The helper.
    Delays helperDelays;
    std::uint64_t dropped = 0;
    Bursts bursts;
    {
        Onsets onsets;
        StreamingHelper helper(rig.environment(),
                               [&](const protocol::Frame& frame, Clock::time_point when) {
                                   if (frame.type != protocol::AudioProtocol::FrameType::mic)
                                       return;
                                   onsets.observe(frame.audio().level > kLoudLevel, when);
                                   bursts.observe(when);
                               });
        if (const auto failed = helper.startStreaming()) {
            state.SkipWithError(("START_STREAMING: " + *failed).c_str());
            return;
        }
        if (!helper.waitForBothStreams(5s)) {
            state.SkipWithError(
                ("both streams did not deliver frames: " + helper.recentLines()).c_str());
            return;
        }
        std::this_thread::sleep_for(2s);
        const auto dropped0 = writer.chunksDropped();
        helperDelays = clickAndListen(writer, onsets);
        dropped = writer.chunksDropped() - dropped0;
        if (!helperDelays.failure.empty()) {
            state.SkipWithError(
                ("helper: " + helperDelays.failure + "; " + helper.recentLines()).c_str());
            return;
        }
    }

    state.SetIterationTime(helperDelays.median() / 1000.0);
    state.counters["median_ms"] = helperDelays.median();
    state.counters["p95_ms"] = helperDelays.percentile(95);
    state.counters["min_ms"] = helperDelays.ms.front();
    state.counters["max_ms"] = helperDelays.ms.back();
    state.counters["parec_median_ms"] = direct.median();
    state.counters["parec_p95_ms"] = direct.percentile(95);
    state.counters["clicks"] = static_cast<double>(helperDelays.ms.size());
    state.counters["fifo_most_ms"] = static_cast<double>(writer.mostBuffered().count()) / 1000.0;
    state.counters["chunks_dropped"] = static_cast<double>(dropped);
    state.counters["parec_chunks_dropped"] = static_cast<double>(directDropped);
    state.counters["mic_frames_per_burst"] = bursts.framesPerBurst();
}

void BM_ClickToFrameDelay(benchmark::State& state) {
    for (auto _ : state) {
        try {
            measureClickDelay(state);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
        }
    }
}
BENCHMARK(BM_ClickToFrameDelay)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
