#include "streaming/StreamDataPath.h"

#include <cstdio>
#include <optional>
#include <string>

#include "streaming/AudioOutputFormat.h"

namespace ostrovane::streaming {

namespace {

using FrameType = protocol::AudioProtocol::FrameType;

constexpr std::int64_t kFrameSize = AudioOutputFormat::frameSize;

bool logsFrameTotal(std::int64_t total) {
    return total < 10 || total % 500 == 0;
}

}  // namespace

StreamDataPath::StreamDataPath(dispatch::Clock& clock, protocol::TextChannel& text,
                               protocol::FrameWriter& frames, StreamSequences first)
    : clock_(clock),
      text_(text),
      frames_(frames),
      intake_(std::make_shared<Intake>()),
      sequences_(first),
      bufferQueue_(std::make_unique<dispatch::SerialQueue>(clock, "audio.buffer")) {}

StreamDataPath::~StreamDataPath() = default;

AudioSource::DataHandler StreamDataPath::makeIntake(dispatch::QueueRef queue,
                                                    std::shared_ptr<Intake> intake, bool isMic) {
    return [queue = std::move(queue), intake = std::move(intake),
            isMic](std::span<const std::uint8_t> chunk) {
        queue.async([intake, isMic,
                     bytes = std::vector<std::uint8_t>(chunk.begin(), chunk.end())]() mutable {
            if (isMic) {
                intake->micBuffer.write(bytes);
            } else {
                intake->systemFrameBuffer.append(SystemAudioFrame{std::move(bytes), 0});
            }
        });
    };
}

AudioSource::DataHandler StreamDataPath::micIntake() const {
    return makeIntake(bufferQueue_->ref(), intake_, true);
}

AudioSource::DataHandler StreamDataPath::systemIntake() const {
    return makeIntake(bufferQueue_->ref(), intake_, false);
}

void StreamDataPath::handleMicData(std::span<const std::uint8_t> chunk) const {
    micIntake()(chunk);
}

void StreamDataPath::handleSystemData(std::span<const std::uint8_t> chunk) const {
    systemIntake()(chunk);
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
}

void StreamDataPath::sendMicFrames() {
    std::int64_t sent = 0;
    double lastRms = 0;
    for (;;) {
        // Only the sender reads, so checking and reading in one job is the
        // same as two; it halves the hand-overs to the buffer queue.
        std::optional<std::vector<std::uint8_t>> frame;
        bufferQueue_->sync([&] {
            if (intake_->micBuffer.availableBytes() >= kFrameSize)
                frame = intake_->micBuffer.read(kFrameSize);
        });
        if (!frame || static_cast<std::int64_t>(frame->size()) != kFrameSize)
            break;
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
        std::optional<SystemAudioFrame> chunk;
        bufferQueue_->sync([&] { chunk = intake_->systemFrameBuffer.removeFirst(); });
        if (chunk) {
            systemAudioAccumulator_.write(chunk->pcmData);
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

void StreamDataPath::logBufferStatus() {
    std::int64_t micBytes = 0;
    std::int64_t systemChunks = 0;
    bufferQueue_->sync([&] {
        micBytes = intake_->micBuffer.availableBytes();
        systemChunks = intake_->systemFrameBuffer.count();
    });
    text_.logToStderr("SimpleAudioStreamer: buffer status mic=" + std::to_string(micBytes) +
                      "b sys=" + std::to_string(systemChunks) + "frames");
}

}  // namespace ostrovane::streaming
