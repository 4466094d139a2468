// The running-mics sample and the tap self-test of the helper binary, against
// a private sound server and without one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "servers/PrivatePulseServer.h"
#include "support/HelperProcess.h"

namespace ostrovane::test {
namespace {

using namespace std::chrono_literals;

// Feeds a mono FIFO source a 440 Hz tone of `amplitude` in real time. Never
// blocks: what the source does not take is dropped.
class ToneFeeder {
  public:
    ToneFeeder(const PipeSource& source, double amplitude)
        : fd_(::open(source.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)),
          rate_(source.rate),
          amplitude_(amplitude) {
        if (fd_ >= 0)
            thread_ = std::thread([this] { run(); });
    }
    ~ToneFeeder() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

  private:
    void run() {
        std::vector<std::int16_t> chunk(static_cast<std::size_t>(rate_ / 100));  // 10 ms
        auto next = std::chrono::steady_clock::now();
        for (std::int64_t frame = 0; !stop_;) {
            for (auto& sample : chunk) {
                const double phase = 2 * std::numbers::pi * 440.0 * double(frame++) / rate_;
                sample = static_cast<std::int16_t>(32767 * amplitude_ * std::sin(phase));
            }
            if (::write(fd_, chunk.data(), chunk.size() * 2) < 0 && errno != EAGAIN)
                return;
            next += 10ms;
            std::this_thread::sleep_until(next);
        }
    }

    int fd_;
    int rate_;
    double amplitude_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class SamplingOnPulse : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(pulse.ready()) << pulse.failure(); }

    void startHelper(const std::string& server) {
        ::setenv("PULSE_SERVER", server.c_str(), 1);
        helper = std::make_unique<HelperProcess>(OSTROVANE_BINARY);
    }
    void TearDown() override {
        if (helper) {
            helper->sendLine("STOP");
            EXPECT_EQ(helper->waitForExit(), 0);
        }
    }

    // The payload of the first line after `command` that starts with `prefix`.
    std::string reply(const std::string& command, const std::string& prefix) {
        const std::size_t from = helper->errors().lines().size();
        helper->sendLine(command);
        const auto at = helper->errors().waitForLineMatching(
            [&](const std::string& l) { return l.starts_with(prefix); }, from, 10s);
        return at ? helper->errors().lines()[*at].substr(prefix.size()) : "";
    }

    PrivatePulseServer pulse;
    std::unique_ptr<HelperProcess> helper;
};

TEST_F(SamplingOnPulse, TwoRecordedMicrophonesAreListedWithTheLevelsOfTheirTones) {
    struct Mic {
        const char* name;
        double amplitude;
    };
    const std::vector<Mic> mics = {{"quiet_mic", 0.2}, {"loud_mic", 0.6}};
    std::vector<std::unique_ptr<ToneFeeder>> feeders;
    std::vector<SpawnedClient> recorders;
    for (const auto& mic : mics) {
        auto source = pulse.addPipeSource(mic.name, std::string("Tone ") + mic.name);
        ASSERT_TRUE(source);
        feeders.push_back(std::make_unique<ToneFeeder>(*source, mic.amplitude));
        ASSERT_TRUE(feeders.back()->ok());
        recorders.push_back(pulse.spawn({"parec", "-d", mic.name, "/dev/null"}));
    }
    startHelper(pulse.server());
    std::this_thread::sleep_for(500ms);  // parec's streams start running

    const auto record =
        nlohmann::json::parse(reply("SAMPLE_RUNNING_MICS:two", "RUNNING_MICS_SAMPLE:"));
    EXPECT_EQ(record["reason"], "two");
    ASSERT_EQ(record["samples"].size(), 2u) << record.dump();
    // Loudest first; a sine's RMS is its amplitude over the square root of 2.
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& sample = record["samples"][i];
        const auto& mic = mics[1 - i];
        EXPECT_EQ(sample["id"], mic.name);
        EXPECT_NEAR(sample["rms"].get<double>(), mic.amplitude / std::numbers::sqrt2, 0.05);
        EXPECT_GT(sample["framesCaptured"].get<int>(), 0);
        EXPECT_FALSE(sample.contains("error"));
    }
}

TEST_F(SamplingOnPulse, WithOrWithoutASoundServerBothDiagnosticsAnswer) {
    for (const std::string& server : {pulse.server(), std::string("unix:/nonexistent/ostrovane")}) {
        SCOPED_TRACE(server);
        startHelper(server);
        EXPECT_TRUE(reply("TEST_MIC_TAP", "CMD_RESPONSE:TEST_MIC_TAP:")
                        .starts_with("ok:taps=15 frames=15 avgRMS=0.353"));
        const auto record =
            nlohmann::json::parse(reply("SAMPLE_RUNNING_MICS", "RUNNING_MICS_SAMPLE:"));
        EXPECT_TRUE(record["samples"].empty());
        TearDown();
        helper.reset();
    }
}

}  // namespace
}  // namespace ostrovane::test
