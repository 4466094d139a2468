#include "monitoring/MicSampler.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <vector>

#include "monitoring/SingleMicSampler.h"

namespace ostrovane::monitoring {

namespace {

constexpr std::size_t kNameLimit = 50;
constexpr std::size_t kErrorLimit = 100;

std::int64_t millisecondsSince(const dispatch::Clock& clock, dispatch::Duration start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock.uptime() - start).count();
}

// Whether some process runs the hardware device behind `device`, in any scope.
bool isRunning(platform::AudioHardware& hardware, const platform::CaptureDevice& device,
               const std::vector<platform::AudioObjectId>& objects) {
    for (const auto object : objects) {
        if (hardware.deviceUID(object).valueOr("") != device.uniqueId)
            continue;
        for (const auto scope :
             {platform::Scope::global, platform::Scope::input, platform::Scope::output}) {
            const auto running = hardware.isRunningSomewhere(object, scope);
            if (running.ok())
                return running.value() != 0;
        }
        return false;
    }
    return false;
}

}  // namespace

// One run's state. It lives in the callbacks of its samplers and is only
// touched on the main queue.
struct MicSampler::Run : std::enable_shared_from_this<Run> {
    MicSampler config;
    Done done;
    RunningMicsSampleDiagnostic record;
    dispatch::Duration start{};
    std::vector<platform::CaptureDevice> pending;  // in list order
    std::size_t next = 0;
    std::size_t expected = 0;
    std::map<std::size_t, std::unique_ptr<SingleMicSampler>> inFlight;

    Run(MicSampler c, Done d) : config(std::move(c)), done(std::move(d)) {}

    void log(const std::string& text) const {
        if (config.logger_)
            config.logger_("[MicSampler] " + text);
    }

    void begin() {
        dispatch::Clock& clock = config.dependencies_.clock;
        start = clock.uptime();
        log("Starting running mics sample: reason=" + record.reason);
        auto& capture = config.dependencies_.capture;
        auto& hardware = config.dependencies_.hardware;
        const auto devices = capture ? capture->discoverDevices() : decltype(pending){};
        if (hardware) {
            const auto objects = hardware->devices();
            if (objects.ok()) {
                for (const auto& device : devices) {
                    if (isRunning(*hardware, device, objects.value()))
                        pending.push_back(device);
                }
            }
        }
        log("Found " + std::to_string(pending.size()) + " running devices out of " +
            std::to_string(devices.size()) + " total");
        if (config.maxConcurrent_ >= 1)
            expected = pending.size();
        const auto first = std::min<std::size_t>(
            expected, static_cast<std::size_t>(std::max<std::int64_t>(config.maxConcurrent_, 0)));
        while (next < first)
            startNext();
        finishIfDone();
    }

    void startNext() {
        const std::size_t index = next++;
        const auto& device = pending[index];
        log("Sampling device: " + device.localizedName + " (" + device.uniqueId + ")");
        auto sampler = std::make_unique<SingleMicSampler>(
            SingleMicSampler::Dependencies{config.dependencies_.capture, config.dependencies_.clock,
                                           config.dependencies_.mainQueue},
            device, config.sampleDurationMs_);
        SingleMicSampler& started = *sampler;
        inFlight.emplace(index, std::move(sampler));
        const dispatch::Duration deviceStart = config.dependencies_.clock.uptime();
        started.sample([self = shared_from_this(), index, deviceStart](const MicLevelOutcome& out) {
            self->finished(index, deviceStart, out);
        });
    }

    void finished(std::size_t index, dispatch::Duration deviceStart, const MicLevelOutcome& out) {
        const auto& device = pending[index];
        MicSampleResult result;
        result.id = device.uniqueId;
        result.name = firstCharacters(device.localizedName, kNameLimit);
        result.sampleDurationMs = millisecondsSince(config.dependencies_.clock, deviceStart);
        if (const auto* level = std::get_if<MicLevel>(&out)) {
            result.rms = level->meanRms;
            result.peakRms = level->peakRms;
            result.framesCaptured = level->buffers;
        } else {
            result.error = firstCharacters(std::get<std::string>(out), kErrorLimit);
        }
        record.samples.push_back(std::move(result));
        // Runs on the main queue, not on the sampler's own queues.
        inFlight.erase(index);
        if (next < expected)
            startNext();
        finishIfDone();
    }

    void finishIfDone() {
        if (record.samples.size() < expected || !done)
            return;
        std::stable_sort(record.samples.begin(), record.samples.end(),
                         [](const auto& a, const auto& b) { return a.rms > b.rms; });
        record.totalDurationMs = millisecondsSince(config.dependencies_.clock, start);
        log("Completed sampling " + std::to_string(record.samples.size()) + " mics in " +
            std::to_string(record.totalDurationMs) + "ms");
        auto finish = std::move(done);
        done = nullptr;
        finish(std::move(record));
    }
};

MicSampler::MicSampler(Dependencies dependencies, std::int64_t sampleDurationMs,
                       std::int64_t maxConcurrent, Logger logger)
    : dependencies_(std::move(dependencies)),
      sampleDurationMs_(sampleDurationMs),
      maxConcurrent_(maxConcurrent),
      logger_(std::move(logger)) {}

void MicSampler::sampleRunningMics(std::string reason, std::optional<std::string> selectedDeviceId,
                                   Done done) const {
    auto run = std::make_shared<Run>(*this, std::move(done));
    run->record.reason = std::move(reason);
    run->record.selectedDeviceId = std::move(selectedDeviceId);
    dependencies_.mainQueue.async([run] { run->begin(); });
}

}  // namespace ostrovane::monitoring
