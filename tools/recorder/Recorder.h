#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/FrameReader.h"
#include "recorder/RecorderOptions.h"
#include "recorder/StreamStats.h"
#include "recorder/WavWriter.h"

namespace ostrovane::tools {

// What a recording produced, for the summary and the exit status.
struct RecordingReport {
    StreamStats mic;
    StreamStats system;
    StreamStats video;
    std::uint64_t keyframes = 0;
    std::string videoSize;  // "960x540" as ffprobe decodes video.h264; empty without it
    std::vector<std::string> responses;  // "CMD_RESPONSE:" and "EVENT:" lines, in order
    std::vector<std::string> problems;   // malformed frames, odd formats, failures
    std::optional<int> helperExitStatus;
    double elapsedSeconds = 0;
    std::uint64_t textLines = 0;
};

// The reference parent: runs the helper, sends commands, decodes its frames
// into files, logs its text lines with receive times, and stops it cleanly.
class Recorder {
  public:
    explicit Recorder(RecorderOptions options);

    // Runs a whole recording. `interrupted` is polled: once true (Ctrl-C) the
    // recording stops early, cleanly.
    RecordingReport run(const std::atomic<bool>& interrupted);

    static std::string defaultHelperPath();

  private:
    void readFrames(int fd);
    void readText(int fd, std::FILE* log);
    void handleFrame(const protocol::Frame& frame);
    void problem(std::string text);
    std::string statusLine(double elapsed);

    const RecorderOptions options_;
    std::mutex mutex_;
    RecordingReport _report;  // guarded by mutex_
    std::unique_ptr<WavWriter> micWav_;
    std::unique_ptr<WavWriter> systemWav_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> video_{nullptr, &std::fclose};
    std::atomic<bool> helperReady_{false};
    std::atomic<std::size_t> answers_{0};  // CMD_RESPONSE lines so far
};

// The summary printed at the end of a recording.
std::string formatSummary(const RecordingReport& report, const std::string& outputDirectory);

}  // namespace ostrovane::tools
