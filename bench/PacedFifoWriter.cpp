#include "PacedFifoWriter.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrovane::bench {

namespace {

// Opens the FIFO for writing without blocking; the source holds its read end
// from the moment it is loaded, but give it a moment in case it is not there
// yet.
int openFifo(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 || errno != ENXIO || std::chrono::steady_clock::now() >= deadline)
            return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

PacedFifoWriter::PacedFifoWriter(const test::PipeSource& source, Options options)
    : options_(options),
      channels_(source.channels),
      rate_(source.rate),
      chunkFrames_(static_cast<std::size_t>(source.rate * options.chunk.count() / 1000)) {
    // A source that goes away must end the writes with an error, not the
    // process with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    fd_ = openFifo(source.fifo);
    if (fd_ < 0) {
        failure_ = "cannot open " + source.fifo + ": " + std::strerror(errno);
        return;
    }
    const std::size_t samples = chunkFrames_ * static_cast<std::size_t>(channels_);
    noise_.resize(samples);
    clickChunk_.resize(samples);
    const std::size_t halfPeriod = static_cast<std::size_t>(rate_ / 2000);  // 1 kHz
    for (std::size_t frame = 0; frame < chunkFrames_; ++frame) {
        const std::int16_t value = (frame / halfPeriod) % 2 == 0 ? 32767 : -32767;
        for (int c = 0; c < channels_; ++c)
            clickChunk_[frame * static_cast<std::size_t>(channels_) + static_cast<std::size_t>(c)] =
                value;
    }
    thread_ = std::thread([this] { run(); });
}

PacedFifoWriter::~PacedFifoWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
    if (fd_ >= 0)
        ::close(fd_);
}

std::string PacedFifoWriter::failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

void PacedFifoWriter::fail(std::string why) {
    std::lock_guard lock(mutex_);
    if (failure_.empty())
        failure_ = std::move(why);
    changed_.notify_all();
}

std::optional<PacedFifoWriter::Clock::time_point> PacedFifoWriter::click(
    std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    clickWritten_.reset();
    clickRequested_ = true;
    const bool done = changed_.wait_for(
        lock, limit, [&] { return clickWritten_.has_value() || !failure_.empty() || stopping_; });
    clickRequested_ = false;
    if (!done)
        return std::nullopt;
    return clickWritten_;
}

std::chrono::microseconds PacedFifoWriter::mostBuffered() const {
    const auto frameBytes = static_cast<std::size_t>(channels_) * sizeof(std::int16_t);
    return std::chrono::microseconds(mostBufferedBytes_ / frameBytes * 1000000 /
                                     static_cast<std::size_t>(rate_));
}

std::size_t PacedFifoWriter::bufferedBytes() const {
    int bytes = 0;
    if (::ioctl(fd_, FIONREAD, &bytes) != 0)
        return 0;
    return static_cast<std::size_t>(bytes);
}

bool PacedFifoWriter::writeChunk(const std::vector<std::int16_t>& samples) {
    const std::size_t size = samples.size() * sizeof(std::int16_t);
    // A chunk is smaller than PIPE_BUF, so it goes in whole or not at all;
    // there is room for it (checked before), so anything else is an error.
    const ssize_t n = ::write(fd_, samples.data(), size);
    if (n == static_cast<ssize_t>(size)) {
        ++written_;
        return true;
    }
    fail(std::string("writing the FIFO failed: ") + (n < 0 ? std::strerror(errno) : "short write"));
    return false;
}

void PacedFifoWriter::run() {
    const auto chunkBytes = chunkFrames_ * static_cast<std::size_t>(channels_) * 2;
    const auto maxAheadBytes =
        chunkBytes * static_cast<std::size_t>(options_.maxAhead.count() / options_.chunk.count());
    const auto clickChunks = static_cast<int>(options_.click.count() / options_.chunk.count());
    const auto start = Clock::now();
    std::uint64_t chunk = 0;  // chunks whose time has come, written or dropped
    int clickLeft = 0;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            // One chunk ahead of real time.
            const auto next = start + options_.chunk * static_cast<std::int64_t>(chunk);
            if (changed_.wait_until(lock, next, [&] { return stopping_; }))
                return;
            if (clickRequested_ && clickLeft == 0 && !clickWritten_)
                clickLeft = clickChunks;
        }
        const auto due = static_cast<std::uint64_t>((Clock::now() - start) / options_.chunk) + 1;
        for (; chunk < due; ++chunk) {
            for (auto& sample : noise_) {
                random_ = random_ * 1664525u + 1013904223u;
                sample = static_cast<std::int16_t>(static_cast<int>(random_ >> 16) %
                                                       (2 * options_.noiseAmplitude + 1) -
                                                   options_.noiseAmplitude);
            }
            const std::size_t buffered = bufferedBytes();
            if (buffered > mostBufferedBytes_)
                mostBufferedBytes_ = buffered;
            if (buffered + chunkBytes > maxAheadBytes) {
                // Nobody is reading: this chunk's time passes unheard. A click
                // waits for a reader instead.
                ++dropped_;
                continue;
            }
            if (clickLeft > 0) {
                const auto before = Clock::now();
                if (!writeChunk(clickChunk_))
                    return;
                if (clickLeft-- == clickChunks) {
                    std::lock_guard lock(mutex_);
                    clickWritten_ = before;
                    changed_.notify_all();
                }
            } else if (!writeChunk(noise_)) {
                return;
            }
        }
    }
}

}  // namespace ostrovane::bench
