// The helper binary's system audio on a desktop whose default output changes
// (headphones plugged in and out) and whose sound server restarts, seen as a
// parent sees it: frame arrival times, the tone in the frames, status lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "protocol/FrameReader.h"
#include "servers/PrivatePulseServer.h"
#include "support/HelperProcess.h"
#include "support/PrivateXServer.h"

namespace ostrovane::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Type = protocol::AudioProtocol::FrameType;

constexpr const char* kHeadphones = "ostrovane_headphones";
const std::string kSpeakersTone = "module-sine frequency=1000 sink=ostrovane_speakers";

// Two outputs playing 1000 Hz (speakers) and 440 Hz (headphones), a
// microphone, and the helper streaming from the speakers.
class SystemAudioFollow : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pulse.ready() && x.ready()) << pulse.failure();
        ::setenv("PULSE_SERVER", pulse.server().c_str(), 1);
        ::setenv("DISPLAY", x.name().c_str(), 1);
        ASSERT_TRUE(pulse.pactl(
            {"load-module", "module-null-sink", std::string("sink_name=") + kHeadphones}));
        ASSERT_TRUE(pulse.pactl({"load-module", "module-sine", "frequency=1000",
                                 std::string("sink=") + PrivatePulseServer::kSpeakers}));
        ASSERT_TRUE(pulse.pactl(
            {"load-module", "module-sine", "frequency=440", std::string("sink=") + kHeadphones}));
        // A sound card plays in small blocks; a null sink only while a client
        // asks it for low latency.
        for (std::string sink : {PrivatePulseServer::kSpeakers, kHeadphones})
            players.push_back(pulse.spawn({"parec", "-d", sink + ".monitor", "--latency-msec=10"}));
        ASSERT_TRUE(pulse.addSineSource("test_mic", "Test Microphone"));
        ASSERT_TRUE(pulse.pactl({"set-default-source", "test_mic"}));
        helper = std::make_unique<HelperProcess>(OSTROVANE_BINARY);
        helper->sendLine("START_STREAMING");
        ASSERT_TRUE(waitForPitch(1000, 10s)) << pitch();
    }
    void TearDown() override {
        if (!helper)
            return;
        helper->sendLine("STOP");
        EXPECT_EQ(helper->waitForExit(), 0);
    }

    // Stamps the frames that arrived since the last call; pitch from the
    // zero crossings of the left channel.
    void pump() {
        const auto bytes = helper->outputBytes();
        reader.feed(std::span(bytes).subspan(std::exchange(fed, bytes.size())));
        for (protocol::Frame f; reader.next(f) == protocol::ReadStatus::frame;) {
            int crossings = 0;
            for (std::size_t i = 4; f.type == Type::system && i + 1 < f.payload.size(); i += 4)
                crossings += (f.payload[i + 1] ^ f.payload[i - 3]) >> 7;  // sign bits differ
            (f.type == Type::system ? system : mic).push_back({Clock::now(), crossings * 25.0});
        }
    }
    double pitch() const {  // over the last 100 ms
        double sum = 0;
        for (std::size_t i = system.size() - std::min<std::size_t>(system.size(), 5);
             i < system.size(); ++i)
            sum += system[i].pitch / 5;
        return sum;
    }
    template <typename Done>
    bool waitUntil(Done done, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (pump(); !done() && Clock::now() < deadline; pump())
            std::this_thread::sleep_for(10ms);
        return done();
    }
    bool waitForPitch(double tone, std::chrono::milliseconds limit) {
        return waitUntil([&] { return std::abs(pitch() - tone) < tone / 10; }, limit);
    }
    std::size_t linesWith(const std::string& part) {
        const auto lines = helper->errors().lines();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const auto& l) { return l.find(part) != std::string::npos; });
    }

    PrivatePulseServer pulse;
    PrivateXServer x;
    std::vector<SpawnedClient> players;
    std::unique_ptr<HelperProcess> helper;
    protocol::FrameReader reader;
    std::size_t fed = 0;
    struct Arrival {
        Clock::time_point at;
        double pitch;
    };
    std::vector<Arrival> system, mic;
};

class SystemAudioOutage : public SystemAudioFollow,
                          public ::testing::WithParamInterface<std::chrono::seconds> {};

TEST_P(SystemAudioOutage, BothStreamsResumeSoonAfterTheServerReturns) {
    pulse.kill();
    std::this_thread::sleep_for(GetParam());  // the outage itself
    ASSERT_TRUE(pulse.restart({kSpeakersTone, "module-sine-source source_name=test_mic"}));
    const auto back = Clock::now();
    pump();
    const std::size_t systemFrom = system.size(), micFrom = mic.size();
    ASSERT_TRUE(
        waitUntil([&] { return system.size() > systemFrom + 10 && mic.size() > micFrom + 10; }, 6s))
        << system.size() - systemFrom << " system, " << mic.size() - micFrom << " mic frames";
    // About a second to reconnect, then the server's own delay of a second
    // or two before a new recording's first audio.
    EXPECT_LE(system[systemFrom].at - back, 4s);
    EXPECT_LE(mic[micFrom].at - back, 4s);
    EXPECT_TRUE(waitForPitch(1000, 1s)) << pitch();
    EXPECT_EQ(linesWith("max attempts") + linesWith("STREAM_ERROR"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Outages, SystemAudioOutage, ::testing::Values(2s, 20s),
                         [](const auto& info) { return std::to_string(info.param.count()) + "s"; });

}  // namespace
}  // namespace ostrovane::test
