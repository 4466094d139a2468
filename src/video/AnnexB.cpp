#include "video/AnnexB.h"

namespace ostrovane::video {

namespace {

void appendUnit(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> unit) {
    out.insert(out.end(), annexBStartCode.begin(), annexBStartCode.end());
    out.insert(out.end(), unit.begin(), unit.end());
}

}  // namespace

std::vector<std::uint8_t> convertAVCCToAnnexB(std::span<const std::uint8_t> data, bool isKeyframe,
                                              std::span<const std::uint8_t> sps,
                                              std::span<const std::uint8_t> pps) {
    std::vector<std::uint8_t> out;
    // Every NAL unit grows by at most nothing (a length field becomes a start
    // code of the same size), so this one reservation is the only allocation.
    out.reserve(data.size() + (isKeyframe ? sps.size() + pps.size() + 8 : 0));
    if (isKeyframe) {
        if (!sps.empty())
            appendUnit(out, sps);
        if (!pps.empty())
            appendUnit(out, pps);
    }
    std::size_t offset = 0;
    while (data.size() - offset >= 4) {
        const std::size_t length = (std::size_t{data[offset]} << 24) |
                                   (std::size_t{data[offset + 1]} << 16) |
                                   (std::size_t{data[offset + 2]} << 8) | data[offset + 3];
        offset += 4;
        if (length > data.size() - offset)
            break;
        appendUnit(out, data.subspan(offset, length));
        offset += length;
    }
    return out;
}

}  // namespace ostrovane::video
