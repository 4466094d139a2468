#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "dispatch/Clock.h"
#include "protocol/FrameWriter.h"
#include "protocol/TextChannel.h"
#include "streaming/AudioGapTracker.h"
#include "streaming/AudioSource.h"
#include "streaming/CircularByteBuffer.h"
#include "streaming/CircularFrameBuffer.h"

namespace ostrovane::streaming {

// One delivered system-audio chunk, already in the output format. The level
// sent with a frame is computed from the outgoing bytes, so `rms` stays 0.
struct SystemAudioFrame {
    std::vector<std::uint8_t> pcmData;
    float rms = 0;
};

// The sequence numbers of the next microphone and system frames.
struct StreamSequences {
    std::uint32_t mic = 0;
    std::uint32_t system = 0;
};

// Audio lost because a stream's buffers were full (a reader slower than the
// capture), per stream, in bytes of output-format audio.
struct DroppedAudio {
    std::int64_t micBytes = 0;
    std::int64_t systemBytes = 0;
};

// The streamer between its sources and the output channel: two intakes that
// buffer each stream, and the sender's pass that cuts the buffered bytes into
// exact 20 ms frames and writes them with per-stream sequence numbers. The two
// streams never mix.
//
// Threads: the intakes run on the delivering thread and only hold a ring
// buffer's own lock for the copy, so capture costs no thread switch here;
// each ring orders its writes against the sender's reads. sendAudioData() and
// logBufferStatus() run on the sender thread only, which alone touches the
// accumulator, sequences and counters.
//
// The rings drop their oldest audio when the sender falls behind (a parent
// that reads slowly). Frames are cut after the rings, so sequence numbers
// stay contiguous across a drop; every drop is counted and reported in a
// rate-limited log line.
//
// What a parent needs to keep both streams on one timeline is the gap watch
// (watchGaps(), on a thread of its own so that it speaks while the sender is
// blocked on a full output): an "AUDIO_GAP:" event for audio dropped from the
// rings, and for holes its source left (SourceGapTracker), each naming the
// sequence number of the first frame after it.
class StreamDataPath {
  public:
    static constexpr std::int64_t kBufferCapacityBytes = 2'880'000;  // 15 s per stream
    static constexpr std::int64_t kSystemChunkSlots = 2250;
    static constexpr dispatch::Duration kSystemPassBudget = dispatch::milliseconds(30);
    static constexpr std::int64_t kSystemPassFrameCap = 100;
    // Drops are reported at most this often, summed since the last line.
    static constexpr dispatch::Duration kDropReportInterval = dispatch::seconds(1.0);
    // How often the gap watch looks at both streams.
    static constexpr dispatch::Duration kGapWatchInterval = dispatch::milliseconds(100);

    // `first` sets where the sequence numbers start (0 for a new stream).
    StreamDataPath(dispatch::Clock& clock, protocol::TextChannel& text,
                   protocol::FrameWriter& frames, StreamSequences first = {});
    ~StreamDataPath();

    StreamDataPath(const StreamDataPath&) = delete;
    StreamDataPath& operator=(const StreamDataPath&) = delete;

    void handleMicData(std::span<const std::uint8_t> chunk) const;
    void handleSystemData(std::span<const std::uint8_t> chunk) const;

    // The intakes as source callbacks. They hold the buffers (plain memory),
    // never the streamer: a source may outlive the streamer by a delivery,
    // and must not end up destroying it.
    AudioSource::DataHandler micIntake() const;
    AudioSource::DataHandler systemIntake() const;

    // One pass of the sender: every whole microphone frame, then system audio
    // within its time budget and frame cap, then the drop report when due:
    // "SimpleAudioStreamer: audio dropped (output too slow) mic=<ms>ms
    // sys=<ms>ms since last report, total mic=<ms>ms sys=<ms>ms"
    void sendAudioData();
    // "SimpleAudioStreamer: buffer status mic=<bytes>b sys=<chunks>frames"
    void logBufferStatus();

    // Streaming has begun: the timeline of both streams starts now.
    void beginTimeline();
    // One pass of the gap watch: writes "EVENT:AUDIO_GAP:{…}" for each gap
    // found since the last pass. Runs on one thread at a time, after
    // beginTimeline().
    void watchGaps();

    // Sender-thread state, for tests once the sender is idle.
    StreamSequences nextSequences() const { return sequences_; }
    std::int64_t micFramesSent() const { return micFramesSent_; }
    std::int64_t systemFramesSent() const { return systemFramesSent_; }
    // Audio lost to full buffers since the stream began; any thread.
    DroppedAudio droppedAudio() const;

  private:
    // What came in on one stream, and when; any thread.
    struct Arrivals {
        std::atomic<std::int64_t> bytes{0};
        std::atomic<std::int64_t> lastAtNs{-1};  // uptime of the last chunk, -1 before one

        void record(dispatch::Clock& clock, std::size_t size);
    };
    struct Intake {
        explicit Intake(dispatch::Clock& c) : clock(c) {}
        dispatch::Clock& clock;  // outlives every source
        CircularByteBuffer micBuffer{kBufferCapacityBytes};
        CircularFrameBuffer<SystemAudioFrame> systemFrameBuffer{kSystemChunkSlots};
        std::atomic<std::int64_t> micDroppedBytes{0};
        std::atomic<std::int64_t> systemDroppedBytes{0};
        Arrivals micArrivals;
        Arrivals systemArrivals;

        void takeMic(std::span<const std::uint8_t> chunk);
        void takeSystem(std::span<const std::uint8_t> chunk);
    };
    // One stream as the gap watch sees it; only the watch touches it.
    struct GapWatchStream {
        explicit GapWatchStream(const char* n) : name(n) {}
        const char* name;
        SourceGapTracker source;
        std::int64_t reportedDropMs = 0;
        std::optional<dispatch::Duration> lastDropReportAt;
    };

    void sendMicFrames();
    void sendSystemFrames();
    void reportDrops();
    void writeFrame(protocol::AudioProtocol::FrameType type, std::span<const std::uint8_t> pcm,
                    double rms, std::uint32_t& sequence);
    void watchStream(GapWatchStream& stream, const Arrivals& arrivals, std::int64_t dropped,
                     std::int64_t taken, std::uint32_t first, dispatch::Duration now);
    void reportGap(const GapWatchStream& stream, std::uint32_t sequence, std::int64_t durationMs,
                   GapReason reason) const;

    dispatch::Clock& clock_;
    protocol::TextChannel& text_;
    protocol::FrameWriter& frames_;
    const std::shared_ptr<Intake> intake_;
    CircularByteBuffer systemAudioAccumulator_{kBufferCapacityBytes};
    const StreamSequences firstSequences_;
    StreamSequences sequences_;
    // Bytes the sender has taken out of each stream's rings; read by the watch.
    std::atomic<std::int64_t> micTakenBytes_{0};
    std::atomic<std::int64_t> systemTakenBytes_{0};
    dispatch::Duration timelineStart_{};  // set before the watch starts
    GapWatchStream micWatch_{"mic"};
    GapWatchStream systemWatch_{"system"};
    std::int64_t micFramesSent_ = 0;
    std::int64_t systemFramesSent_ = 0;
    DroppedAudio reportedDrops_;                          // as of the last report
    std::optional<dispatch::Duration> lastDropReportAt_;  // none before the first
};

}  // namespace ostrovane::streaming
