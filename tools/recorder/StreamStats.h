#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace ostrovane::tools {

// What the recorder learns about one frame stream: frames, sequence gaps and
// the level of its 16-bit samples.
class StreamStats {
  public:
    // Counts one frame with its sequence number and (for audio) its PCM.
    void addFrame(std::uint32_t sequence, std::span<const std::uint8_t> pcm16 = {});

    std::uint64_t frames() const { return frames_; }
    // Places where the sequence did not follow on, and the frames missing there.
    std::uint64_t gaps() const { return gaps_; }
    std::uint64_t missingFrames() const { return missing_; }
    std::optional<std::uint32_t> firstSequence() const { return first_; }

    // Levels relative to full scale (32768); -inf for silence or no samples.
    double peakDbfs() const;
    double rmsDbfs() const;
    // Level of the most recent frame, for live display.
    double lastFrameRmsDbfs() const { return lastFrameDbfs_; }

    // Audio the helper dropped before framing (its buffers were full because
    // its output was read too slowly): such losses leave no sequence gap.
    std::int64_t droppedMs() const { return droppedMs_; }
    void setDroppedMs(std::int64_t ms) { droppedMs_ = ms; }

  private:
    std::uint64_t frames_ = 0;
    std::uint64_t gaps_ = 0;
    std::uint64_t missing_ = 0;
    std::optional<std::uint32_t> first_;
    std::uint32_t next_ = 0;
    std::uint64_t samples_ = 0;
    double sumSquares_ = 0;
    std::int32_t peak_ = 0;
    double lastFrameDbfs_ = -std::numeric_limits<double>::infinity();
    std::int64_t droppedMs_ = 0;
};

// The running totals (microphone, system) in milliseconds from the helper's
// drop report line, "... total mic=<ms>ms sys=<ms>ms"; none for other lines.
std::optional<std::pair<std::int64_t, std::int64_t>> droppedAudioTotals(const std::string& line);

// "-12.3 dBFS", or "-inf dBFS".
std::string formatDbfs(double dbfs);

}  // namespace ostrovane::tools
