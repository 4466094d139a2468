#include "recorder/WavWriter.h"

#include <algorithm>
#include <array>

namespace ostrovane::tools {

namespace {
void put16(std::array<std::uint8_t, 44>& h, std::size_t at, std::uint16_t v) {
    h[at] = static_cast<std::uint8_t>(v);
    h[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::array<std::uint8_t, 44>& h, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        h[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::array<std::uint8_t, 44> header(std::uint32_t rate, std::uint16_t channels,
                                    std::uint32_t dataBytes) {
    std::array<std::uint8_t, 44> h{'R', 'I', 'F', 'F', 0,   0,   0,   0, 'W', 'A', 'V',
                                   'E', 'f', 'm', 't', ' ', 0,   0,   0, 0,   0,   0,
                                   0,   0,   0,   0,   0,   0,   0,   0, 0,   0,   0,
                                   0,   0,   0,   'd', 'a', 't', 'a', 0, 0,   0,   0};
    put32(h, 4, 36 + dataBytes);
    put32(h, 16, 16);  // PCM format chunk
    put16(h, 20, 1);   // integer PCM
    put16(h, 22, channels);
    put32(h, 24, rate);
    put32(h, 28, rate * channels * 2);
    put16(h, 32, static_cast<std::uint16_t>(channels * 2));
    put16(h, 34, 16);
    put32(h, 40, dataBytes);
    return h;
}
}  // namespace

WavWriter::WavWriter(const std::string& path, std::uint32_t sampleRate, std::uint16_t channels)
    : file_(std::fopen(path.c_str(), "wb")) {
    if (!file_)
        return;
    // Remember the format in a provisional header; close() fixes the sizes.
    const auto h = header(sampleRate, channels, 0);
    failed_ = std::fwrite(h.data(), 1, h.size(), file_.get()) != h.size();
}

WavWriter::~WavWriter() {
    close();
}

void WavWriter::append(std::span<const std::uint8_t> pcm) {
    if (!ok() || pcm.empty())
        return;
    if (std::fwrite(pcm.data(), 1, pcm.size(), file_.get()) != pcm.size())
        failed_ = true;
    dataBytes_ += pcm.size();
}

bool WavWriter::close() {
    if (!file_)
        return !failed_;
    // RIFF sizes are 32-bit: a recording beyond 4 GiB keeps its data but
    // saturates the sizes.
    const auto size =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(dataBytes_, 0xFFFFFFFFu - 36));
    const auto h = header(0, 0, size);
    bool good = !failed_;
    good = good && std::fseek(file_.get(), 4, SEEK_SET) == 0 &&
           std::fwrite(h.data() + 4, 1, 4, file_.get()) == 4;
    good = good && std::fseek(file_.get(), 40, SEEK_SET) == 0 &&
           std::fwrite(h.data() + 40, 1, 4, file_.get()) == 4;
    good = std::fclose(file_.release()) == 0 && good;
    failed_ = !good;
    return good;
}

}  // namespace ostrovane::tools
