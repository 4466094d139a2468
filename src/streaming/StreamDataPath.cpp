#include "streaming/StreamDataPath.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "streaming/AudioOutputFormat.h"

namespace ostrovane::streaming {

namespace {

using FrameType = protocol::AudioProtocol::FrameType;

constexpr std::int64_t kFrameSize = AudioOutputFormat::frameSize;
// 48 samples per millisecond, 2 channels of 2 bytes.
constexpr std::int64_t kBytesPerMillisecond = kFrameSize / 20;

bool logsFrameTotal(std::int64_t total) {
    return total < 10 || total % 500 == 0;
}

}  // namespace

StreamDataPath::StreamDataPath(dispatch::Clock& clock, protocol::TextChannel& text,
                               protocol::FrameWriter& frames, StreamSequences first)
    : clock_(clock),
      text_(text),
      frames_(frames),
      intake_(std::make_shared<Intake>(clock)),
      firstSequences_(first),
      sequences_(first) {}

StreamDataPath::~StreamDataPath() = default;

void StreamDataPath::Arrivals::record(dispatch::Clock& clock, std::size_t size) {
    bytes.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed);
    lastAtNs.store(clock.uptime().count(), std::memory_order_relaxed);
}

void StreamDataPath::Intake::takeMic(std::span<const std::uint8_t> chunk) {
    micArrivals.record(clock, chunk.size());
    if (const auto lost = micBuffer.write(chunk); lost > 0)
        micDroppedBytes.fetch_add(lost, std::memory_order_relaxed);
}

void StreamDataPath::Intake::takeSystem(std::span<const std::uint8_t> chunk) {
    systemArrivals.record(clock, chunk.size());
    // The copy is made before the ring's lock, and a dropped chunk is freed
    // after it, so the lock covers only the slot update.
    auto dropped = systemFrameBuffer.append(
        SystemAudioFrame{std::vector<std::uint8_t>(chunk.begin(), chunk.end()), 0});
    if (dropped) {
        systemDroppedBytes.fetch_add(static_cast<std::int64_t>(dropped->pcmData.size()),
                                     std::memory_order_relaxed);
    }
}

AudioSource::DataHandler StreamDataPath::micIntake() const {
    return [intake = intake_](std::span<const std::uint8_t> chunk) { intake->takeMic(chunk); };
}

AudioSource::DataHandler StreamDataPath::systemIntake() const {
    return [intake = intake_](std::span<const std::uint8_t> chunk) { intake->takeSystem(chunk); };
}

void StreamDataPath::handleMicData(std::span<const std::uint8_t> chunk) const {
    intake_->takeMic(chunk);
}

void StreamDataPath::handleSystemData(std::span<const std::uint8_t> chunk) const {
    intake_->takeSystem(chunk);
}

DroppedAudio StreamDataPath::droppedAudio() const {
    return {intake_->micDroppedBytes.load(std::memory_order_relaxed),
            intake_->systemDroppedBytes.load(std::memory_order_relaxed)};
}

void StreamDataPath::writeFrame(FrameType type, std::span<const std::uint8_t> pcm, double rms,
                                std::uint32_t& sequence) {
    frames_.writeBinaryFrame(type, static_cast<std::uint16_t>(AudioOutputFormat::sampleRate),
                             static_cast<std::uint8_t>(AudioOutputFormat::channels),
                             static_cast<std::uint8_t>(AudioOutputFormat::bitsPerSample), rms, pcm,
                             sequence);
    ++sequence;  // wraps from 4294967295 to 0
}

void StreamDataPath::sendAudioData() {
    sendMicFrames();
    sendSystemFrames();
    reportDrops();
}

void StreamDataPath::reportDrops() {
    const DroppedAudio total = droppedAudio();
    if (total.micBytes == reportedDrops_.micBytes &&
        total.systemBytes == reportedDrops_.systemBytes)
        return;
    const dispatch::Duration now = clock_.uptime();
    if (lastDropReportAt_ && now - *lastDropReportAt_ < kDropReportInterval)
        return;
    const auto ms = [](std::int64_t bytes) {
        return std::to_string(bytes / kBytesPerMillisecond) + "ms";
    };
    text_.logToStderr("SimpleAudioStreamer: audio dropped (output too slow) mic=" +
                      ms(total.micBytes - reportedDrops_.micBytes) +
                      " sys=" + ms(total.systemBytes - reportedDrops_.systemBytes) +
                      " since last report, total mic=" + ms(total.micBytes) +
                      " sys=" + ms(total.systemBytes));
    reportedDrops_ = total;
    lastDropReportAt_ = now;
}

void StreamDataPath::sendMicFrames() {
    std::int64_t sent = 0;
    double lastRms = 0;
    for (;;) {
        // Only the sender reads and a full ring stays full when it drops, so
        // a frame seen here is still whole when it is read.
        std::optional<std::vector<std::uint8_t>> frame;
        if (intake_->micBuffer.availableBytes() >= kFrameSize)
            frame = intake_->micBuffer.read(kFrameSize);
        if (!frame || static_cast<std::int64_t>(frame->size()) != kFrameSize)
            break;
        micTakenBytes_.fetch_add(kFrameSize, std::memory_order_relaxed);
        lastRms = protocol::calculateRMSInt16(*frame);
        writeFrame(FrameType::mic, *frame, lastRms, sequences_.mic);
        ++sent;
    }
    if (sent == 0)
        return;
    micFramesSent_ += sent;
    if (logsFrameTotal(micFramesSent_)) {
        char rms[32];
        std::snprintf(rms, sizeof rms, "%.6f", lastRms);
        text_.logToStderr("SimpleAudioStreamer: mic " + std::to_string(sent) + " frames (total: " +
                          std::to_string(micFramesSent_) + ", RMS: " + rms + ")");
    }
}

void StreamDataPath::sendSystemFrames() {
    std::int64_t sent = 0;
    const dispatch::Duration start = clock_.uptime();
    const auto withinBudget = [&] { return clock_.uptime() - start < kSystemPassBudget; };
    while (withinBudget() && sent < kSystemPassFrameCap) {
        std::optional<SystemAudioFrame> chunk = intake_->systemFrameBuffer.removeFirst();
        if (chunk) {
            systemTakenBytes_.fetch_add(static_cast<std::int64_t>(chunk->pcmData.size()),
                                        std::memory_order_relaxed);
            if (const auto lost = systemAudioAccumulator_.write(chunk->pcmData); lost > 0)
                intake_->systemDroppedBytes.fetch_add(lost, std::memory_order_relaxed);
        } else if (systemAudioAccumulator_.availableBytes() < kFrameSize) {
            break;
        }
        while (systemAudioAccumulator_.availableBytes() >= kFrameSize) {
            auto frame = systemAudioAccumulator_.read(kFrameSize);
            if (!frame)
                break;
            writeFrame(FrameType::system, *frame, protocol::calculateRMSInt16(*frame),
                       sequences_.system);
            ++sent;
            if (!withinBudget())
                break;
        }
    }
    if (sent == 0)
        return;
    systemFramesSent_ += sent;
    if (logsFrameTotal(systemFramesSent_)) {
        text_.logToStderr("SimpleAudioStreamer: sys " + std::to_string(sent) +
                          " frames (total: " + std::to_string(systemFramesSent_) + ")");
    }
}

void StreamDataPath::beginTimeline() {
    timelineStart_ = clock_.uptime();
}

void StreamDataPath::watchGaps() {
    const dispatch::Duration now = clock_.uptime();
    const DroppedAudio dropped = droppedAudio();
    watchStream(micWatch_, intake_->micArrivals, dropped.micBytes,
                micTakenBytes_.load(std::memory_order_relaxed), firstSequences_.mic, now);
    watchStream(systemWatch_, intake_->systemArrivals, dropped.systemBytes,
                systemTakenBytes_.load(std::memory_order_relaxed), firstSequences_.system, now);
}

void StreamDataPath::watchStream(GapWatchStream& stream, const Arrivals& arrivals,
                                 std::int64_t dropped, std::int64_t taken, std::uint32_t first,
                                 dispatch::Duration now) {
    // The frame that holds a byte of the stream, counted from the first frame.
    const auto sequenceAt = [first](std::int64_t offset) {
        return static_cast<std::uint32_t>(
            first + static_cast<std::uint64_t>(std::max<std::int64_t>(offset, 0) / kFrameSize));
    };
    // Dropped audio leaves a hole where the sender goes on reading: right
    // behind what it has taken.
    const std::int64_t droppedMs = dropped / kBytesPerMillisecond;
    if (droppedMs > stream.reportedDropMs &&
        (!stream.lastDropReportAt || now - *stream.lastDropReportAt >= kDropReportInterval)) {
        reportGap(stream, sequenceAt(taken), droppedMs - stream.reportedDropMs,
                  GapReason::outputTooSlow);
        stream.reportedDropMs = droppedMs;
        stream.lastDropReportAt = now;
    }
    const std::int64_t lastAt = arrivals.lastAtNs.load(std::memory_order_relaxed);
    const std::int64_t delivered = arrivals.bytes.load(std::memory_order_relaxed);
    std::optional<dispatch::Duration> lastDelivery;
    if (lastAt >= 0)
        lastDelivery = dispatch::Duration(lastAt) - timelineStart_;
    if (auto hole = stream.source.sample(now - timelineStart_, delivered, lastDelivery))
        reportGap(stream, sequenceAt(hole->position - dropped), hole->durationMs, hole->reason);
}

void StreamDataPath::reportGap(const GapWatchStream& stream, std::uint32_t sequence,
                               std::int64_t durationMs, GapReason reason) const {
    text_.sendEvent(audioGapPayload(stream.name, sequence, durationMs, reason, clock_.wallTime()));
}

void StreamDataPath::logBufferStatus() {
    const std::int64_t micBytes = intake_->micBuffer.availableBytes();
    const std::int64_t systemChunks = intake_->systemFrameBuffer.count();
    text_.logToStderr("SimpleAudioStreamer: buffer status mic=" + std::to_string(micBytes) +
                      "b sys=" + std::to_string(systemChunks) + "frames");
}

}  // namespace ostrovane::streaming
