#include "recorder/Recorder.h"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <thread>

#include "recorder/VideoProbe.h"
#include "util/Subprocess.h"

namespace ostrovane::tools {

namespace {
using SteadyClock = std::chrono::steady_clock;

constexpr std::uint32_t kSampleRate = 48000;
constexpr std::uint16_t kChannels = 2;
constexpr auto kStartLimit = std::chrono::seconds(10);
constexpr auto kStopLimit = std::chrono::seconds(5);

// "2026-12-06T10:31:02.123Z"
std::string utcTimestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return text;
}

bool startsWith(const std::string& s, std::string_view prefix) {
    return s.rfind(prefix, 0) == 0;
}
}  // namespace

Recorder::Recorder(RecorderOptions options) : options_(std::move(options)) {}

std::string Recorder::defaultHelperPath() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return "ostrovane";
    return (self.parent_path() / "ostrovane").string();
}

void Recorder::problem(std::string text) {
    std::lock_guard lock(mutex_);
    _report.problems.push_back(std::move(text));
}

void Recorder::handleFrame(const protocol::Frame& frame) {
    using FrameType = protocol::AudioProtocol::FrameType;
    if (frame.isVideo()) {
        {
            std::lock_guard lock(mutex_);
            _report.video.addFrame(frame.sequence);
            _report.keyframes += frame.video().isKeyframe() ? 1 : 0;
        }
        if (!video_) {
            video_.reset(std::fopen((options_.outputDirectory + "/video.h264").c_str(), "wb"));
            if (!video_)
                problem("cannot write video.h264: " + std::string(std::strerror(errno)));
        }
        if (video_)
            std::fwrite(frame.payload.data(), 1, frame.payload.size(), video_.get());
        return;
    }
    const auto& audio = frame.audio();
    const bool isMic = frame.type == FrameType::mic;
    if (audio.sampleRate != kSampleRate || audio.channels != kChannels ||
        audio.bitsPerSample != 16) {
        problem("frame " + std::to_string(frame.sequence) + " of the " +
                (isMic ? "mic" : "system") + " stream has format " +
                std::to_string(audio.sampleRate) + " Hz/" + std::to_string(audio.channels) +
                " ch/" + std::to_string(audio.bitsPerSample) + " bit; not written");
        return;
    }
    {
        std::lock_guard lock(mutex_);
        (isMic ? _report.mic : _report.system).addFrame(frame.sequence, frame.payload);
    }
    (isMic ? micWav_ : systemWav_)->append(frame.payload);
}

void Recorder::readFrames(int fd) {
    protocol::FrameReader reader;
    std::array<std::uint8_t, 65536> buffer;
    protocol::Frame frame;
    bool failed = false;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (failed)
            continue;  // keep draining so the helper never blocks on us
        reader.feed(std::span(buffer.data(), static_cast<std::size_t>(n)));
        for (;;) {
            const auto status = reader.next(frame);
            if (status == protocol::ReadStatus::frame) {
                handleFrame(frame);
                continue;
            }
            if (status == protocol::ReadStatus::error) {
                problem("malformed output: " + reader.error()->message +
                        "; the rest of the output was not decoded");
                failed = true;
            }
            break;
        }
    }
    if (!failed) {
        reader.finish();
        if (reader.next(frame) == protocol::ReadStatus::error) {
            problem("malformed output: " + reader.error()->message);
        }
    }
}

void Recorder::readText(int fd, std::FILE* log) {
    std::array<char, 65536> buffer;
    std::string line;
    auto finishLine = [&] {
        std::fprintf(log, "%s\t%s\n", utcTimestamp().c_str(), line.c_str());
        std::fflush(log);
        if (line == "Helper ready, waiting for commands...")
            helperReady_ = true;
        std::lock_guard lock(mutex_);
        ++_report.textLines;
        if (const auto dropped = droppedAudioTotals(line)) {
            _report.mic.setDroppedMs(dropped->first);
            _report.system.setDroppedMs(dropped->second);
        }
        if (startsWith(line, "CMD_RESPONSE:"))
            ++answers_;
        if (startsWith(line, "CMD_RESPONSE:") || startsWith(line, "EVENT:")) {
            _report.responses.push_back(line);
            // An answer that reports a failure is a problem of the recording.
            if (startsWith(line, "CMD_RESPONSE:") && (line.find(":failed:") != std::string::npos ||
                                                      line.find(":error:") != std::string::npos)) {
                _report.problems.push_back("the helper answered " + line);
            }
        }
        line.clear();
    };
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == '\n') {
                finishLine();
            } else {
                line.push_back(buffer[i]);
            }
        }
    }
    if (!line.empty())
        finishLine();
}

std::string Recorder::statusLine(double elapsed) {
    std::lock_guard lock(mutex_);
    char text[200];
    std::snprintf(text, sizeof text, "%6.1f s | mic %6llu frames %-11s | system %6llu frames %-11s",
                  elapsed, static_cast<unsigned long long>(_report.mic.frames()),
                  formatDbfs(_report.mic.lastFrameRmsDbfs()).c_str(),
                  static_cast<unsigned long long>(_report.system.frames()),
                  formatDbfs(_report.system.lastFrameRmsDbfs()).c_str());
    std::string line = text;
    if (_report.video.frames() > 0)
        line += " | video " + std::to_string(_report.video.frames());
    return line;
}

RecordingReport Recorder::run(const std::atomic<bool>& interrupted) {
    std::filesystem::create_directories(options_.outputDirectory);
    const std::string dir = options_.outputDirectory;
    micWav_ = std::make_unique<WavWriter>(dir + "/mic.wav", kSampleRate, kChannels);
    systemWav_ = std::make_unique<WavWriter>(dir + "/system.wav", kSampleRate, kChannels);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> log(
        std::fopen((dir + "/events.log").c_str(), "w"), &std::fclose);
    if (!micWav_->ok() || !systemWav_->ok() || !log) {
        problem("cannot write into " + dir + ": " + std::strerror(errno));
        return _report;
    }

    const std::string helperPath =
        options_.helperPath.empty() ? defaultHelperPath() : options_.helperPath;
    ::signal(SIGPIPE, SIG_IGN);
    std::unique_ptr<Subprocess> helper;
    try {
        helper = std::make_unique<Subprocess>(std::vector<std::string>{helperPath});
    } catch (const std::exception& e) {
        problem(e.what());
        return _report;
    }
    std::thread frames([this, fd = helper->takeOutput()] { readFrames(fd.get()); });
    std::thread text(
        [this, fd = helper->takeErrors(), file = log.get()] { readText(fd.get(), file); });

    const auto started = SteadyClock::now();
    const bool live = !options_.quiet && ::isatty(STDERR_FILENO);
    auto elapsed = [&] {
        return std::chrono::duration<double>(SteadyClock::now() - started).count();
    };

    while (!helperReady_ && !interrupted && helper->isRunning() &&
           SteadyClock::now() - started < kStartLimit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!helperReady_)
        problem("the helper did not report ready");
    const std::size_t expectedAnswers = answers_ + options_.commands.size();
    const auto commandsSent = SteadyClock::now();
    for (const auto& command : options_.commands)
        helper->write(command + "\n");
    // The time counts from the answers: a start that is slow to answer (its
    // sources failing late, a busy machine) is not cut short by the stop,
    // which would silence its answer. A command that has no answer costs
    // the bound.
    while (answers_ < expectedAnswers && !interrupted && helper->isRunning() &&
           SteadyClock::now() - commandsSent < kStartLimit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto recordingStarted = SteadyClock::now();

    const auto duration = std::chrono::duration<double>(options_.durationSeconds);
    while (!interrupted && helper->isRunning() &&
           SteadyClock::now() - recordingStarted < duration) {
        if (live)
            std::fprintf(stderr, "\r\033[K%s", statusLine(elapsed()).c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (live)
        std::fprintf(stderr, "\r\033[K%s\n", statusLine(elapsed()).c_str());
    if (interrupted)
        problem("interrupted: stopped early");

    if (helper->isRunning()) {
        helper->write("STOP\n");
        if (!helper->waitForExit(kStopLimit)) {
            problem("the helper did not exit after STOP; killed");
            helper->kill(SIGKILL);
        }
    } else {
        problem("the helper exited before it was told to stop");
    }
    helper->closeInput();
    const auto status = helper->waitForExit(kStopLimit);
    frames.join();
    text.join();
    if (!micWav_->close() || !systemWav_->close())
        problem("writing a WAV file failed");
    if (video_) {
        video_.reset();
        const std::string size = probeVideoSize(options_.outputDirectory + "/video.h264");
        std::lock_guard lock(mutex_);
        _report.videoSize = size;
    }

    std::lock_guard lock(mutex_);
    // A stream that was started but delivered nothing is a failed recording,
    // whatever the helper answered.
    bool streaming = false;
    for (const auto& line : _report.responses) {
        streaming = streaming || line == "CMD_RESPONSE:STREAMING:started" ||
                    startsWith(line, "CMD_RESPONSE:TEST_WAV:started:");
    }
    if (streaming && _report.mic.frames() == 0)
        _report.problems.push_back("no microphone audio arrived");
    if (streaming && _report.system.frames() == 0)
        _report.problems.push_back("no system audio arrived");
    _report.helperExitStatus = status;
    _report.elapsedSeconds =
        std::chrono::duration<double>(SteadyClock::now() - recordingStarted).count();
    return _report;
}

std::string formatSummary(const RecordingReport& report, const std::string& outputDirectory) {
    std::ostringstream out;
    auto stream = [&](const char* name, const StreamStats& s, bool audio) {
        out << "  " << name << ": " << s.frames() << " frames";
        if (audio) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.2f", s.frames() * 0.02);
            out << " (" << seconds << " s), peak " << formatDbfs(s.peakDbfs()) << ", RMS "
                << formatDbfs(s.rmsDbfs()) << ", dropped by the helper " << s.droppedMs() << " ms";
        }
        if (s.firstSequence() && *s.firstSequence() != 0) {
            out << ", first sequence " << *s.firstSequence();
        }
        out << ", sequence gaps " << s.gaps();
        if (s.gaps() > 0)
            out << " (" << s.missingFrames() << " frames missing)";
        out << "\n";
    };
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.2f", report.elapsedSeconds);
    out << "Recording summary (" << elapsed << " s)\n";
    stream("mic", report.mic, true);
    stream("system", report.system, true);
    if (report.video.frames() > 0) {
        stream("video", report.video, false);
        out << "         " << report.keyframes << " keyframes, decoded size "
            << (report.videoSize.empty() ? "unknown (no ffprobe)" : report.videoSize) << "\n";
    }
    out << "  helper exit status: "
        << (report.helperExitStatus ? std::to_string(*report.helperExitStatus) : "none (killed)")
        << "\n";
    out << "  answers and events:\n";
    if (report.responses.empty())
        out << "    (none)\n";
    for (const auto& line : report.responses)
        out << "    " << line << "\n";
    out << "  problems:";
    if (report.problems.empty())
        out << " none";
    out << "\n";
    for (const auto& p : report.problems)
        out << "    " << p << "\n";
    out << "  files: " << outputDirectory << "/{mic.wav,system.wav,events.log"
        << (report.video.frames() > 0 ? ",video.h264" : "") << "}\n";
    return out.str();
}

}  // namespace ostrovane::tools
