#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ostrovane::test {

// A canonical 44-byte-header WAV file, built in memory for tests. The header
// fields can be set to anything, so refused files are as easy to make as good
// ones.
struct WavSpec {
    std::uint16_t formatCode = 1;
    std::uint16_t channels = 1;
    std::uint32_t sampleRate = 16000;
    std::uint16_t bitsPerSample = 16;
    std::string riff = "RIFF";
    std::string wave = "WAVE";
    // Inserted between the format chunk and the data chunk (e.g. a LIST
    // chunk); a reader that does not walk chunks takes it for samples.
    std::vector<std::uint8_t> extraChunk{};
};

std::vector<std::uint8_t> makeWav(const WavSpec& spec, const std::vector<std::int16_t>& samples);
std::vector<std::uint8_t> makeWav(const WavSpec& spec, const std::vector<std::uint8_t>& pcmBytes);

// Samples 0, 1, 2, ... (wrapping at 16 bits): every position is recognisable.
std::vector<std::int16_t> ramp(std::size_t count, std::int16_t first = 0);

// A file in the system's temporary directory, removed with the object.
class TempFile {
  public:
    TempFile(const std::string& name, const std::vector<std::uint8_t>& bytes);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace ostrovane::test
