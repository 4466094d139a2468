// The Linux provider against a private PulseAudio: what the contract suites
// cannot arrange (a sine source's samples, another client's recording, the
// system mix, streams left without their device or their server). Without a
// server at all the helper's answers are checked in HelperOnPulseTest.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <future>
#include <mutex>
#include <regex>
#include <thread>

#include "contract/ProviderHarness.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/SystemClock.h"
#include "platform/linux/LinuxPlatform.h"
#include "servers/PrivatePulseServer.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {
namespace {

using contract::Recorder;
using platform::AudioObjectId;
using platform::Scope;
using Buffers = Recorder<std::shared_ptr<const platform::SampleBuffer>>;

using namespace std::chrono_literals;

// RMS of the float samples of `buffers`.
double floatRms(const std::vector<std::shared_ptr<const platform::SampleBuffer>>& buffers) {
    double sum = 0;
    std::size_t count = 0;
    for (const auto& b : buffers) {
        const auto bytes = b->dataBlock()->bytes;
        for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
            float v;
            std::memcpy(&v, bytes.data() + i, 4);
            sum += static_cast<double>(v) * v;
            ++count;
        }
    }
    return count ? std::sqrt(sum / count) : 0;
}

class LinuxAudioTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.ready()) << "private PulseAudio did not start: " << server.failure();
        platform::LinuxPlatformOptions options;
        options.pulseServer = server.server();
        platform = platform::makeLinuxPlatform(clock, options);
        queue = std::make_unique<dispatch::SerialQueue>(clock, "test.linux");
    }

    // A sine microphone the platform has found; its module's index.
    std::string addMicrophone(const std::string& uid, int rate = 48000) {
        const auto module = server.addSineSource(uid, "Mic " + uid, rate);
        const auto found = [&] {
            return std::ranges::any_of(platform.audioCapture->discoverDevices(),
                                       [&](const auto& d) { return d.uniqueId == uid; });
        };
        EXPECT_TRUE(module && waitUntil(found, 5s)) << uid;
        return module.value_or("");
    }

    std::optional<AudioObjectId> deviceId(const std::string& uid) {
        auto hw = platform.audioHardware;
        for (auto id : hw->devices().valueOr({}))
            if (hw->deviceUID(id).valueOr("") == uid)
                return id;
        return std::nullopt;
    }

    // A running session recording `uid` into `buffers`; one into `handler`
    // is left to the caller to start.
    std::shared_ptr<platform::AudioCaptureSession> record(
        const std::string& uid, platform::SampleBufferHandler handler = {}) {
        auto capture = platform.audioCapture;
        auto session = capture->makeSession();
        auto input = capture->makeInput({uid, ""});
        EXPECT_TRUE(input.ok());
        if (!input.ok())
            return session;
        session->addInput(input.value());
        auto output = capture->makeAudioDataOutput();
        const bool intoBuffers = !handler;
        if (intoBuffers)
            handler = [this](auto b) { buffers.add(std::move(b)); };
        output->setSampleBufferHandler(std::move(handler), queue->ref());
        session->addOutput(output);
        if (intoBuffers)
            session->startRunning();
        return session;
    }

    // Waits for the buffers already queued for delivery, so that none
    // reaches a recorder after it is gone (the test's sessions went first).
    void TearDown() override {
        if (queue)
            queue->sync([] {});
    }

    // Records a session's notifications in `events` as "error",
    // "interrupted", "ended"; the `n`th of them once it came.
    void watch(platform::AudioCaptureSession& session) {
        session.setNotifications(
            {[this](std::optional<platform::Error> e) { events.add(e ? "error" : "error:none"); },
             [this](auto) { events.add("interrupted"); }, [this] { events.add("ended"); }});
    }
    std::string event(std::size_t n, std::chrono::milliseconds limit = 5s) {
        return waitUntil([&] { return events.size() >= n; }, limit) ? events.values().at(n - 1)
                                                                    : "none";
    }

    // A system-audio stream into `buffers` whose stops are recorded.
    std::shared_ptr<platform::CaptureStream> systemStream() {
        platform::StreamConfiguration config;
        config.capturesAudio = true;
        config.excludesCurrentProcessAudio = true;
        auto stream = platform.screenCapture->makeStream(
            platform::ContentFilter{platform::Display{}, {}, 1.0}, config,
            [this](const platform::StreamStopError& e) { stops.add(e.code()); });
        EXPECT_FALSE(
            stream->addAudioOutput([this](auto b) { buffers.add(std::move(b)); }, queue->ref()));
        return stream;
    }

    // Whether our system recording records `source` (until `limit`).
    bool recordsFrom(const std::string& source, std::chrono::milliseconds limit = 5s) {
        return waitUntil(
            [&] {
                const auto recording = server.recordingNamed("Ostrovane system audio");
                const auto sources = server.pactl({"list", "short", "sources"});
                std::smatch m;
                if (!recording || !sources ||
                    !std::regex_search(*sources, m, std::regex("(\\d+)\\s+" + source + "\\s")))
                    return false;
                const std::string line = std::to_string(*recording) + "\t" + m[1].str() + "\t";
                return server.pactl({"list", "short", "source-outputs"}).value_or("").find(line) !=
                       std::string::npos;
            },
            limit);
    }

    platform::MaybeError start(platform::CaptureStream& stream) {
        Recorder<platform::MaybeError> done;
        stream.startCapture([&](platform::MaybeError e) { done.add(std::move(e)); });
        EXPECT_TRUE(waitUntil([&] { return done.size() > 0; }, 7s));
        return done.size() ? done.values().front() : platform::Error{"test", -1, "no answer"};
    }

    // Declared first: destroyed last, after every queue on it.
    dispatch::SystemClock clock;
    PrivatePulseServer server;
    platform::Platform platform;
    std::unique_ptr<dispatch::SerialQueue> queue;
    Recorder<std::int64_t> stops;
    Buffers buffers;
    Recorder<std::string> events;
};

// While its queue is idle a handler runs right on the sound server's client
// thread, and it may end the recording and let go of the session there. The
// next recording arrives in the source's own format on an unbroken timeline.
TEST_F(LinuxAudioTest, AHandlerMayEndItsOwnRecordingOnTheDeliveringThread) {
    addMicrophone("sine_self", 44100);
    std::promise<std::thread::id> queueThread;
    queue->async([&] { queueThread.set_value(std::this_thread::get_id()); });
    const auto worker = queueThread.get_future().get();

    std::mutex mutex;
    std::shared_ptr<platform::AudioCaptureSession> held;  // guarded by mutex
    std::atomic<int> handled{0};
    std::atomic<bool> onQueueThread{false};
    {
        auto session = record("sine_self", [&](auto) {
            ++handled;
            onQueueThread = std::this_thread::get_id() == worker;
            std::shared_ptr<platform::AudioCaptureSession> last;
            {
                std::lock_guard lock(mutex);
                last = std::move(held);
            }
            if (last)
                last->stopRunning();
        });
        {
            std::lock_guard lock(mutex);
            held = session;
        }
        session->startRunning();
        ASSERT_TRUE(session->isRunning());
    }  // from here the handler holds the session's last reference

    ASSERT_TRUE(waitUntil([&] { return handled.load() > 0; }, 5s));
    EXPECT_FALSE(onQueueThread.load());
    EXPECT_TRUE(waitUntil([&] { return !server.recordingNamed("Ostrovane microphone"); }, 5s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(handled.load(), 1) << "buffers reached the handler after it stopped the session";

    // The connection records on. The sine source pushes its audio in blocks
    // of up to 2 s, whatever the stream asks for (fragment sizes are checked
    // on the system mix below).
    auto again = record("sine_self");
    ASSERT_TRUE(again->isRunning());
    ASSERT_TRUE(waitUntil([&] { return buffers.size() >= 3; }, 5s));
    again->stopRunning();
    const auto all = buffers.values();
    std::int64_t expectedPts = -1;
    for (const auto& b : all) {
        const auto d = b->streamDescription();
        ASSERT_TRUE(d);
        EXPECT_EQ(d->sampleRate, 44100);  // the source's own format, not resampled
        EXPECT_EQ(d->channelsPerFrame, 1u);
        EXPECT_TRUE(d->isFloat);
        EXPECT_EQ(d->bitsPerChannel, 32u);
        EXPECT_EQ(b->presentationTime().timescale, 44100);
        if (expectedPts >= 0) {
            EXPECT_EQ(b->presentationTime().value, expectedPts);
        }
        expectedPts = b->presentationTime().value + b->frameCount();
    }
    EXPECT_GT(floatRms(all), 0.05);
    EXPECT_LT(floatRms(all), 1.0);
}

// A monitor is never a microphone: MonitoringOnPulse sees it as the parent
// does. The sink is a device without inputs; another client's recording is
// a process with its pid and running input.
TEST_F(LinuxAudioTest, TheSinkHasNoInputsAndAnotherClientsRecordingIsAProcess) {
    auto hw = platform.audioHardware;
    std::optional<AudioObjectId> speakers;
    ASSERT_TRUE(
        waitUntil([&] { return !!(speakers = deviceId(PrivatePulseServer::kSpeakers)); }, 5s));
    EXPECT_TRUE(hw->inputStreamChannels(*speakers).value().empty());

    // Another client's recording is a process with its pid and running input.
    addMicrophone("busy_mic");
    auto parec = server.spawn({"parec", "--device=busy_mic", "--raw", "/dev/null"});
    ASSERT_TRUE(parec.running());

    auto find = [&]() -> std::optional<AudioObjectId> {
        for (auto id : hw->processObjects().valueOr({}))
            if (hw->processPid(id).valueOr(0) == parec.pid())
                return id;
        return std::nullopt;
    };
    ASSERT_TRUE(waitUntil(
        [&] {
            auto id = find();
            return id && hw->processIsRunningInput(*id).valueOr(0) == 1;
        },
        5s));
    const AudioObjectId process = *find();
    // The server reports the source running on its own event, which may come
    // after the recording's.
    EXPECT_TRUE(waitUntil(
        [&] {
            return hw->isRunningSomewhere(*deviceId("busy_mic"), Scope::input).valueOr(0) == 1u;
        },
        5s));

    parec = SpawnedClient();  // killed and reaped
    ASSERT_TRUE(waitUntil([&] { return !find(); }, 5s));
    // The client's own removal may come on a later server event.
    EXPECT_TRUE(waitUntil([&] { return !hw->processPid(process).ok(); }, 5s));
}

TEST_F(LinuxAudioTest, SessionFollowsSuspendAsAnInterruptionAndReportsARemovedSource) {
    if (server.kind() == ServerKind::PipeWire)
        GTEST_SKIP() << "PipeWire: suspend-source does not interrupt a recorded source";
    const std::string module = addMicrophone("flaky_mic");
    auto session = record("flaky_mic");
    watch(*session);
    ASSERT_TRUE(session->isRunning());

    ASSERT_TRUE(server.pactl({"suspend-source", "flaky_mic", "1"}));
    EXPECT_EQ(event(1), "interrupted");
    // The event may come before the session has marked itself stopped.
    EXPECT_TRUE(waitUntil([&] { return !session->isRunning(); }, 5s));
    // Corked while interrupted: the source does not count as in use for us,
    // once the server's own event about the source has come.
    auto hw = platform.audioHardware;
    EXPECT_TRUE(waitUntil(
        [&] {
            return hw->isRunningSomewhere(*deviceId("flaky_mic"), Scope::input).valueOr(1) == 0u;
        },
        5s));

    ASSERT_TRUE(server.pactl({"suspend-source", "flaky_mic", "0"}));
    EXPECT_EQ(event(2), "ended");
    session->startRunning();
    EXPECT_TRUE(session->isRunning());
    buffers.clear();
    ASSERT_TRUE(waitUntil([&] { return buffers.size() >= 3; }, 5s));

    ASSERT_TRUE(server.pactl({"unload-module", module}));
    EXPECT_EQ(event(3), "error");
    EXPECT_FALSE(session->isRunning());
}

TEST_F(LinuxAudioTest, ALostServerInterruptsAndReportsTheErrorOnlyOnceItIsBackWithoutDeviceNoise) {
    addMicrophone("steady_mic");
    ASSERT_TRUE(server.pactl({"set-default-source", "steady_mic"}));
    auto hw = platform.audioHardware;
    ASSERT_TRUE(
        waitUntil([&] { return hw->defaultInputDevice().valueOr({}) != AudioObjectId{}; }, 5s));
    std::atomic<int> deviceChanges{0};
    auto reg = hw->addListener(
        {platform::kSystemObject, platform::HardwareProperty::defaultInputDevice, Scope::global},
        [&] { ++deviceChanges; });
    ASSERT_TRUE(reg.ok());

    auto session = record("steady_mic");
    watch(*session);
    ASSERT_TRUE(session->isRunning());

    // Counted from the loss on: the microphone's own arrival as the default
    // may be reported after the listener was added.
    const int before = deviceChanges;
    server.kill();
    EXPECT_EQ(event(1), "interrupted");
    // The event may come before the session has marked itself stopped.
    EXPECT_TRUE(waitUntil([&] { return !session->isRunning(); }, 5s));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(events.size(), 1u) << "no error while the server is away";

    // Back with the same default microphone: the error tells the owner to set
    // the recording up again, and the default input did not change.
    ASSERT_TRUE(server.restart({"module-sine-source source_name=steady_mic"}));
    EXPECT_EQ(event(2, 10s), "error");
    EXPECT_EQ(platform.audioCapture->defaultDevice()->uniqueId, "steady_mic");
    // A restarted PipeWire really passes through other defaults while its
    // session manager and our fed microphone come up; PulseAudio does not.
    if (server.kind() != ServerKind::PipeWire) {
        EXPECT_EQ(deviceChanges, before);
    }
    EXPECT_EQ(hw->removeListener(reg.value()), 0);
}

// A killed recording is contention: HelperRecovery sees it as the parent does.
TEST_F(LinuxAudioTest, SystemAudioRecordsTheMixInSmallFragments) {
    ASSERT_TRUE(
        server.pactl({"load-module", "module-sine",
                      std::string("sink=") + PrivatePulseServer::kSpeakers, "frequency=1000"}));
    auto stream = systemStream();
    const auto started = start(*stream);
    ASSERT_FALSE(started) << started->description();
    ASSERT_TRUE(waitUntil([&] { return buffers.size() >= 20; }, 5s));
    // The format is the screen contract's. About 10 ms fragments: the audio does not come in
    // bursts. PipeWire's period is shared by every stream: ours must not ask for less.
    const bool pipewire = server.kind() == ServerKind::PipeWire;
    std::int64_t frames = 0;
    for (const auto& b : buffers.values())
        frames += b->frameCount();
    EXPECT_LE(frames / static_cast<std::int64_t>(buffers.size()), pipewire ? 1100 : 48000 / 50);
    if (pipewire) {
        const auto listing = server.pactl({"list", "source-outputs"});
        std::smatch m;
        ASSERT_TRUE(
            listing &&
            std::regex_search(*listing, m, std::regex(R"re(node\.latency = "(\d+)/(\d+)")re")));
        EXPECT_GE(std::stod(m[1]) * 48000 / std::stod(m[2]), 1024) << *listing;
    }
    EXPECT_GT(floatRms(buffers.values()), 0.05);
}

// Headphones plugged in and unplugged: the same recording follows the
// default output without stopping, carries on with the output the server
// picks next, and ends only when no output is left.
TEST_F(LinuxAudioTest, SystemAudioFollowsTheDefaultOutputAndEndsAsUnavailableWithTheLast) {
    // The server may rescue the recording onto the default source: a
    // microphone here, which must never be recorded as system audio.
    addMicrophone("rescue_mic");
    ASSERT_TRUE(server.pactl({"set-default-source", "rescue_mic"}));
    auto module = server.pactl({"load-module", "module-null-sink", "sink_name=usb_headset"});
    ASSERT_TRUE(module);
    auto stream = systemStream();
    ASSERT_TRUE(waitUntil([&] { return !start(*stream); }, 10s));
    const auto index = server.recordingNamed("Ostrovane system audio");
    ASSERT_TRUE(index);
    ASSERT_TRUE(server.pactl({"set-default-sink", "usb_headset"}));
    EXPECT_TRUE(recordsFrom("usb_headset.monitor"));
    EXPECT_EQ(server.recordingNamed("Ostrovane system audio"), index);
    EXPECT_TRUE(stops.values().empty());

    ASSERT_TRUE(server.pactl({"unload-module", *module}));
    EXPECT_TRUE(recordsFrom(std::string(PrivatePulseServer::kSpeakers) + ".monitor"));
    buffers.clear();
    ASSERT_TRUE(waitUntil([&] { return buffers.size() >= 20; }, 5s));
    EXPECT_LT(floatRms(buffers.values()), 0.01) << "the silent speakers, not the microphone";
    EXPECT_TRUE(stops.values().empty());

    const auto modules = server.pactl({"list", "short", "modules"}).value_or("");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        modules, m, std::regex(R"((\d+)\s+module-null-sink\s+sink_name=ostrovane_speakers)")));
    ASSERT_TRUE(server.pactl({"unload-module", m[1].str()}));
    if (server.kind() == ServerKind::PipeWire) {
        // PipeWire's session manager puts its placeholder output in place of
        // the last one, and the recording follows it there.
        EXPECT_TRUE(recordsFrom("auto_null.monitor"));
        EXPECT_TRUE(stops.values().empty());
        return;
    }
    ASSERT_TRUE(waitUntil([&] { return stops.size() > 0; }, 6s));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(stops.values(), std::vector<std::int64_t>{platform::kStreamDisplayUnavailableCode});
}

}  // namespace
}  // namespace ostrovane::test
