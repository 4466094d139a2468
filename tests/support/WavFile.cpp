#include "support/WavFile.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace ostrovane::test {

namespace {
void put(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void putTag(std::vector<std::uint8_t>& out, const std::string& tag) {
    for (std::size_t i = 0; i < 4; ++i)
        out.push_back(i < tag.size() ? static_cast<std::uint8_t>(tag[i]) : ' ');
}
}  // namespace

std::vector<std::uint8_t> makeWav(const WavSpec& spec, const std::vector<std::uint8_t>& pcm) {
    std::vector<std::uint8_t> out;
    const std::uint32_t blockAlign = spec.channels * spec.bitsPerSample / 8;
    putTag(out, spec.riff);
    put(out, static_cast<std::uint32_t>(36 + spec.extraChunk.size() + pcm.size()), 4);
    putTag(out, spec.wave);
    putTag(out, "fmt ");
    put(out, 16, 4);
    put(out, spec.formatCode, 2);
    put(out, spec.channels, 2);
    put(out, spec.sampleRate, 4);
    put(out, spec.sampleRate * blockAlign, 4);
    put(out, blockAlign, 2);
    put(out, spec.bitsPerSample, 2);
    out.insert(out.end(), spec.extraChunk.begin(), spec.extraChunk.end());
    putTag(out, "data");
    put(out, static_cast<std::uint32_t>(pcm.size()), 4);
    out.insert(out.end(), pcm.begin(), pcm.end());
    return out;
}

std::vector<std::uint8_t> makeWav(const WavSpec& spec, const std::vector<std::int16_t>& samples) {
    std::vector<std::uint8_t> pcm;
    pcm.reserve(samples.size() * 2);
    for (std::int16_t s : samples)
        put(pcm, static_cast<std::uint16_t>(s), 2);
    return makeWav(spec, pcm);
}

std::vector<std::int16_t> ramp(std::size_t count, std::int16_t first) {
    std::vector<std::int16_t> out(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(first + i));
    return out;
}

TempFile::TempFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/" + std::to_string(::getpid()) + "-" +
            std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" + name;
    std::ofstream file(path_, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    if (!file)
        throw std::runtime_error("cannot write " + path_);
}

TempFile::~TempFile() {
    std::remove(path_.c_str());
}

}  // namespace ostrovane::test
