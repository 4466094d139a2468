#pragma once

#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>
#include <spa/pod/builder.h>
#include <spa/pod/pod.h>

#include <cstdint>
#include <vector>

namespace ostrovane::platform::pipewire {

// The four shared-memory layouts the stream accepts: four bytes a pixel,
// blue or red first, the fourth byte padding or alpha.
inline constexpr spa_video_format kAcceptedFormats[] = {
    SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA};

// The largest cursor bitmap the stream asks room for, in pixels a side.
inline constexpr std::uint32_t kCursorSide = 64;
// Damaged regions a buffer may say; a producer with more sends their bounds.
inline constexpr std::uint32_t kDamageRegions = 16;

// Bytes of a cursor metadata block carrying a `width` x `height` RGBA bitmap.
constexpr std::uint32_t cursorMetaSize(std::uint32_t width, std::uint32_t height) {
    return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + width * height * 4;
}

// Parameters built into a caller's buffer; they live as long as it does.
class ParamList {
  public:
    ParamList() : buffer_(4096) { spa_pod_builder_init(&builder_, buffer_.data(), buffer_.size()); }
    ParamList(const ParamList&) = delete;
    ParamList& operator=(const ParamList&) = delete;

    spa_pod_builder* builder() { return &builder_; }
    void add(spa_pod* param) {
        if (param)
            params_.push_back(param);
    }
    const spa_pod** data() { return params_.data(); }
    std::uint32_t size() const { return static_cast<std::uint32_t>(params_.size()); }

  private:
    std::vector<std::uint8_t> buffer_;
    spa_pod_builder builder_{};
    std::vector<const spa_pod*> params_;
};

// One EnumFormat a format of kAcceptedFormats: raw video without modifiers,
// any size from 1x1 to 16384x16384, any rate up to 360 frames a second.
void addAcceptedFormats(ParamList& params);

// What the stream asks of the buffers once a format is set: shared memory
// (a memfd or plain memory) the producer fills, a header, the crop region
// and room for a cursor.
void addBufferParams(ParamList& params);

}  // namespace ostrovane::platform::pipewire
