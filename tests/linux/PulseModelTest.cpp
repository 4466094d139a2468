// The provider's mirror of the sound server, without a server: ids, what
// counts as a device, change reports and process grouping.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "platform/pulse/PulseFormat.h"
#include "platform/pulse/PulseModel.h"

namespace ostrovane::platform::pulse {
namespace {

SourceInfo source(std::uint32_t index, std::string name, bool monitor = false,
                  bool running = false) {
    return SourceInfo{index, name, name + " description", monitor, 2, std::nullopt, running};
}

SinkInfo sink(std::uint32_t index, std::string name, bool running = false) {
    return SinkInfo{index, name, name + " description", name + ".monitor", running};
}

// Speakers with their monitor (source 0) and a microphone (source 1).
void addDevices(PulseModel& model) {
    model.setAvailable(true);
    model.putSink(sink(0, "speakers"));
    model.putSource(source(0, "speakers.monitor", true));
    model.putSource(source(1, "mic"));
    model.setDefaults("mic", "speakers");
}

// Ids, then the server lost and back: while it is away the model answers
// nothing, and the listing after the reconnect is reported once, complete.
// What each change reports reaches a parent as the monitoring and capture
// events of MonitoringOnPulse and MicrophoneDesktop.
TEST(PulseModelTest, IdsAreStableAndNeverReusedAndAnUnavailableModelReportsOnlyTheFlip) {
    PulseModel model;
    addDevices(model);
    const auto ids = model.deviceIds();
    // The sink and the microphone; the monitor is part of the sink (the
    // provider's own suite sees it is never an input), and its running state
    // is our own system-audio capture: no event.
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_TRUE(model.putSource(source(0, "speakers.monitor", true, true)).running.empty());
    EXPECT_NE(ids[0], ids[1]);
    for (auto id : ids)
        EXPECT_GT(id.value, kSystemObject.value);

    const AudioObjectId mic = model.defaultInputId();
    model.putSource(source(1, "mic", false, true));  // a change keeps the id
    EXPECT_EQ(model.defaultInputId(), mic);
    model.removeSource(1);
    EXPECT_FALSE(model.device(mic));
    model.putSource(source(1, "mic"));  // same index and name, new object
    EXPECT_NE(model.defaultInputId(), mic);
    EXPECT_TRUE(model.defaultInputId());

    model.setDefaults("speakers.monitor", "speakers");  // a monitor is no microphone
    EXPECT_FALSE(model.defaultInputId() || model.defaultCaptureDevice());
    EXPECT_EQ(model.captureDevices().size(), 1u);

    auto lost = model.setAvailable(false);
    EXPECT_TRUE(lost.deviceList && lost.defaultInput && lost.defaultOutput);
    EXPECT_TRUE(model.captureDevices().empty());
    EXPECT_TRUE(model.deviceIds().empty());
    EXPECT_TRUE(model.processes().empty());
    EXPECT_FALSE(model.defaultCaptureDevice());
    EXPECT_FALSE(model.putSource(source(5, "mic")).any());
    EXPECT_FALSE(model.setDefaults("mic", "").any());
    EXPECT_TRUE(model.setAvailable(true).deviceList);
    EXPECT_EQ(model.defaultCaptureDevice()->uniqueId, "mic");
}

using Seen = std::tuple<Pid, bool, std::string>;  // pid, running input, name

struct Grouping {
    const char* what;
    std::vector<ClientInfo> clients;
    std::vector<StreamInfo> recordings;  // source-outputs; device 1 is the microphone
    std::vector<StreamInfo> playbacks;   // sink-inputs
    std::vector<Seen> processes;         // in order of their first stream
};

TEST(PulseModelProcesses, AreGroupedByPidAndSandboxedClientsByClientAndNamed) {
    const PidHints sandboxed{std::nullopt, 2, true};
    const NameHints both{"Stream App", "stream-binary"};
    const std::vector<Grouping> cases = {
        {"the server's pid beats a claim; a client's claim stands for its streams",
         {{7, {std::nullopt, 700}, {}}, {8, {800, 801}, {}}},
         {{1, 1, 8, false, {std::nullopt, 999}, {}},
          {2, 1, 7, true, {}, {}},    // corked
          {3, 0, 7, false, {}, {}}},  // the monitor is not input
         {{4, 0, 9, false, {std::nullopt, 900}, {}}},
         {{800, true, ""}, {700, false, ""}, {900, false, ""}}},
        {"two sandboxes claiming the same pid stay apart, each with all its streams",
         {{7, sandboxed, {}}, {8, sandboxed, {}}},
         {{1, 1, 7, true, sandboxed, {}}, {2, 1, 7, false, sandboxed, {}}},
         {{3, 0, 8, false, sandboxed, {}}},
         {{2, true, ""}, {2, false, ""}}},
        {"two connections of one of our processes are one process",
         {{7, {std::nullopt, 700}, {}}, {8, {std::nullopt, 700}, {}}},
         {{1, 1, 7, true, {}, {}}, {2, 1, 8, false, {}, {}}},
         {},
         {{700, true, ""}}},
        {"named as it names itself, else by its executable; the stream before its client",
         {{7, {std::nullopt, 700}, {"Client App", "client-binary"}},
          {8, {std::nullopt, 800}, {"", "only-a-binary"}},
          {9, {std::nullopt, 900}, {}}},
         {{1, 1, 7, false, {}, both},
          {2, 1, 7, false, {std::nullopt, 701}, {"", "stream-binary"}},
          {3, 1, 8, false, {}, {}},
          {4, 1, 9, false, {std::nullopt, 901}, {"", "stream-binary"}}},
         {{5, 0, 9, false, {}, {}}, {6, 0, 9, false, {}, {"", "player"}}},
         {{700, true, "Stream App"},
          {701, true, "Client App"},
          {800, true, "only-a-binary"},
          {901, true, "stream-binary"},
          {900, false, "player"}}},  // a later stream names it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PulseModel m;
        addDevices(m);
        for (const auto& client : c.clients)
            m.putClient(client);
        for (const auto& stream : c.recordings)
            m.putSourceOutput(stream);
        for (const auto& stream : c.playbacks)
            m.putSinkInput(stream);

        const auto processes = m.processes();
        std::vector<Seen> seen;
        for (const auto& p : processes) {
            seen.emplace_back(p.pid, p.runningInput, p.name);
            EXPECT_EQ(m.process(p.id)->name, p.name);
            EXPECT_NE(p.id, m.defaultInputId());
        }
        EXPECT_EQ(seen, c.processes);
        // Ids are distinct, and stay while the process has streams.
        for (std::size_t i = 0; i < processes.size(); ++i) {
            EXPECT_EQ(m.processes()[i].id, processes[i].id);
            EXPECT_TRUE(i == 0 || processes[i].id != processes[i - 1].id);
        }
        for (const auto& stream : c.recordings)
            m.removeSourceOutput(stream.index);
        for (const auto& stream : c.playbacks)
            m.removeSinkInput(stream.index);
        EXPECT_TRUE(m.processes().empty());
        EXPECT_FALSE(m.process(processes.front().id));
    }
}

TEST(PulseFormatTest, RecordsTheSourcesOwnSamplesOrFloatWhenTheCoreCannotTakeThem) {
    const pa_sample_spec s16be{PA_SAMPLE_S16BE, 44100, 1};
    const pa_sample_spec s24{PA_SAMPLE_S24LE, 96000, 2};
    EXPECT_EQ(recordSpecFor(s16be).format, PA_SAMPLE_S16LE);
    EXPECT_EQ(recordSpecFor(s24).format, PA_SAMPLE_FLOAT32LE);
    EXPECT_EQ(recordSpecFor(s24).rate, 96000u);

    auto d = describe(recordSpecFor(s24));
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->isFloat);
    EXPECT_EQ(d->bitsPerChannel, 32u);
    EXPECT_EQ(d->channelsPerFrame, 2u);
    EXPECT_FALSE(d->isNonInterleaved);
    auto back = sampleSpecFor(*d);
    ASSERT_TRUE(back);
    EXPECT_TRUE(pa_sample_spec_equal(&*back, &s24) == 0);
    EXPECT_EQ(back->format, PA_SAMPLE_FLOAT32LE);

    StreamDescription planar = *d;
    planar.isNonInterleaved = true;
    EXPECT_FALSE(sampleSpecFor(planar));
}

}  // namespace
}  // namespace ostrovane::platform::pulse
