#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

namespace ostrovane::tools {

// Writes a 16-bit PCM WAV file. The header's sizes are written as zero first
// and filled in by close(), so a recording that is cut short still leaves a
// file whose data can be recovered.
class WavWriter {
  public:
    WavWriter(const std::string& path, std::uint32_t sampleRate, std::uint16_t channels);
    ~WavWriter();

    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool ok() const { return file_ != nullptr && !failed_; }
    void append(std::span<const std::uint8_t> pcm);
    // Completes the header. Returns false when any write failed.
    bool close();

    std::uint64_t dataBytes() const { return dataBytes_; }

  private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> file_;
    std::uint64_t dataBytes_ = 0;
    bool failed_ = false;
};

}  // namespace ostrovane::tools
