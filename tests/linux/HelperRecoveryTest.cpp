// The helper binary against a private sound server that misbehaves the way
// real desktops do: another client kills our recording, the server dies and
// comes back, the microphone has more channels than the stream carries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "protocol/FrameReader.h"
#include "servers/PrivatePulseServer.h"
#include "support/HelperProcess.h"
#include "support/PrivateXServer.h"

namespace ostrovane::test {
namespace {

using namespace std::chrono_literals;
using protocol::AudioProtocol;

struct FrameCounts {
    std::size_t mic = 0;
    std::size_t system = 0;
    double micLevel = 0;  // mean level of the microphone frames, 0…1
};

FrameCounts countFrames(const std::vector<std::uint8_t>& bytes, std::size_t from) {
    protocol::FrameReader reader;
    reader.feed(bytes);
    protocol::Frame frame;
    FrameCounts counts;
    double levels = 0;
    while (reader.next(frame) == protocol::ReadStatus::frame) {
        if (frame.offset < from || frame.isVideo())
            continue;
        if (frame.type == AudioProtocol::FrameType::mic) {
            ++counts.mic;
            levels += frame.audio().level / 65535.0;
        } else if (frame.type == AudioProtocol::FrameType::system) {
            ++counts.system;
        }
    }
    if (counts.mic)
        counts.micLevel = levels / counts.mic;
    return counts;
}

// Waits until at least `mic` and `system` frames came after byte `from`.
bool waitForFrames(HelperProcess& helper, std::size_t from, std::size_t mic, std::size_t system,
                   std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const FrameCounts counts = countFrames(helper.outputBytes(), from);
        if (counts.mic >= mic && counts.system >= system)
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

// Index of our own recording of `source` among the server's source-outputs.
std::optional<std::uint32_t> recordingOf(const PrivatePulseServer& pulse,
                                         const std::string& source) {
    auto sourceIndex = [&]() -> std::optional<std::string> {
        auto sources = pulse.pactl({"list", "short", "sources"});
        std::istringstream in(sources.value_or(""));
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string index, name;
            fields >> index >> name;
            if (name == source)
                return index;
        }
        return std::nullopt;
    }();
    auto outputs = pulse.pactl({"list", "short", "source-outputs"});
    std::istringstream in(outputs.value_or(""));
    std::string line;
    while (sourceIndex && std::getline(in, line)) {
        std::istringstream fields(line);
        std::string index, onSource;
        fields >> index >> onSource;
        if (onSource == *sourceIndex)
            return static_cast<std::uint32_t>(std::stoul(index));
    }
    return std::nullopt;
}

class HelperRecovery : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pulse.ready()) << pulse.failure();
        ASSERT_TRUE(x.ready()) << "Xvfb could not be started";
        ::setenv("PULSE_SERVER", pulse.server().c_str(), 1);
        ::setenv("DISPLAY", x.name().c_str(), 1);
    }

    // A tone into the speakers and a sine microphone as the default input.
    void loadDesktop() {
        ASSERT_TRUE(
            pulse.pactl({"load-module", "module-sine",
                         std::string("sink=") + PrivatePulseServer::kSpeakers, "frequency=1000"}));
        ASSERT_TRUE(pulse.addSineSource("test_mic", "Test Microphone"));
        ASSERT_TRUE(pulse.pactl({"set-default-source", "test_mic"}));
    }

    std::unique_ptr<HelperProcess> startStreaming() {
        auto helper = std::make_unique<HelperProcess>(OSTROVANE_BINARY);
        helper->sendLine("START_STREAMING");
        EXPECT_TRUE(helper->errors().waitForLine("CMD_RESPONSE:STREAMING:started"));
        return helper;
    }

    static void stop(HelperProcess& helper) {
        helper.sendLine("STOP");
        EXPECT_EQ(helper.waitForExit(), 0);
    }

    PrivatePulseServer pulse;
    PrivateXServer x;
};

TEST_F(HelperRecovery, AnotherClientKillingTheSystemRecordingIsContentionAndCaptureComesBack) {
    loadDesktop();
    auto helper = startStreaming();
    ASSERT_TRUE(waitForFrames(*helper, 0, 10, 10, 10s));

    const std::string monitor = std::string(PrivatePulseServer::kSpeakers) + ".monitor";
    const auto recording = recordingOf(pulse, monitor);
    ASSERT_TRUE(recording) << "no recording of " << monitor;
    ASSERT_TRUE(pulse.killSourceOutput(*recording));

    auto& lines = helper->errors();
    EXPECT_TRUE(lines.waitForLine("EVENT:SYSTEM_AUDIO_CONTENTION:-3805"));
    // The source fights back for the stream: system audio flows again.
    const std::size_t mark = helper->outputBytes().size();
    EXPECT_TRUE(waitForFrames(*helper, mark, 0, 50, 15s));
    stop(*helper);
}

TEST_F(HelperRecovery, AServerThatDiesMidStreamIsSurvivedAndCaptureResumesWhenItReturns) {
    if (pulse.kind() == ServerKind::PipeWire)
        GTEST_SKIP() << "PipeWire: the microphone does not come back after a restart";
    loadDesktop();
    auto helper = startStreaming();
    ASSERT_TRUE(waitForFrames(*helper, 0, 10, 10, 10s));

    pulse.kill();
    std::this_thread::sleep_for(1s);  // the helper notices while no server answers
    EXPECT_TRUE(helper->isRunning());
    helper->sendLine("HEALTH_CHECK");
    EXPECT_TRUE(helper->errors().waitForLineMatching(
        [](const std::string& l) { return l.rfind("CMD_RESPONSE:HEALTH_OK:", 0) == 0; }));

    // The server comes back as a desktop's does, with its devices.
    ASSERT_TRUE(pulse.restart(
        {std::string("module-sine frequency=1000 sink=") + PrivatePulseServer::kSpeakers,
         "module-sine-source source_name=test_mic"}))
        << pulse.failure();
    // Both sources find their way back through their recovery paths.
    const std::size_t mark = helper->outputBytes().size();
    EXPECT_TRUE(waitForFrames(*helper, mark, 50, 50, 30s))
        << "mic " << countFrames(helper->outputBytes(), mark).mic << ", system "
        << countFrames(helper->outputBytes(), mark).system << "\n"
        << joined(helper->errors().lines());
    stop(*helper);
}

// Feeds a FIFO source in real time: a 440 Hz tone at half scale on the first
// channel, silence on the others. Never blocks: the source stops reading
// once nobody records it, and what does not fit then is dropped.
class FirstChannelTone {
  public:
    explicit FirstChannelTone(const PipeSource& source)
        : fd_(::open(source.fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)), source_(source) {
        if (fd_ >= 0)
            thread_ = std::thread([this] { run(); });
    }
    ~FirstChannelTone() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

  private:
    void run() {
        const int chunk = source_.rate / 100;  // 10 ms
        std::vector<std::int16_t> samples(static_cast<std::size_t>(chunk * source_.channels));
        auto next = std::chrono::steady_clock::now();
        std::int64_t frame = 0;
        while (!stop_) {
            for (int i = 0; i < chunk; ++i, ++frame) {
                const double phase = 2 * M_PI * 440.0 * double(frame) / source_.rate;
                samples[static_cast<std::size_t>(i * source_.channels)] =
                    static_cast<std::int16_t>(16384 * std::sin(phase));
            }
            if (::write(fd_, samples.data(), samples.size() * 2) < 0 && errno != EAGAIN)
                return;
            next += 10ms;
            std::this_thread::sleep_until(next);
        }
    }

    int fd_;
    PipeSource source_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(HelperRecovery, AFourChannelMicrophoneIsCapturedFromItsFirstChannel) {
    auto source = pulse.addPipeSource("four_channel_mic", "Four Channel Microphone", 4);
    ASSERT_TRUE(source);
    ASSERT_TRUE(pulse.pactl({"set-default-source", "four_channel_mic"}));
    FirstChannelTone tone(*source);
    ASSERT_TRUE(tone.ok());

    auto helper = startStreaming();
    ASSERT_TRUE(waitForFrames(*helper, 0, 100, 0, 15s));
    // Skip the first frames (the stream may begin with silence).
    const std::size_t mark = helper->outputBytes().size();
    ASSERT_TRUE(waitForFrames(*helper, mark, 50, 0, 10s));
    // Half scale sine: RMS 0.354 on the first channel; the others are silent.
    EXPECT_NEAR(countFrames(helper->outputBytes(), mark).micLevel, 0.354, 0.05);
    stop(*helper);
}

}  // namespace
}  // namespace ostrovane::test
