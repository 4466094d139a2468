#include "platform/pipewire/VideoStreamParams.h"

#include <spa/buffer/buffer.h>
#include <spa/param/buffers.h>
#include <spa/param/format.h>
#include <spa/param/param.h>
#include <spa/param/video/format.h>
#include <spa/pod/builder.h>

namespace ostrovane::platform::pipewire {

void addAcceptedFormats(ParamList& params) {
    spa_rectangle defaultSize{1920, 1080};
    spa_rectangle minSize{1, 1};
    spa_rectangle maxSize{16384, 16384};
    spa_fraction defaultRate{30, 1};
    spa_fraction minRate{0, 1};
    spa_fraction maxRate{360, 1};
    for (const spa_video_format format : kAcceptedFormats) {
        params.add(static_cast<spa_pod*>(spa_pod_builder_add_object(
            params.builder(), SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(format),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
            SPA_FORMAT_VIDEO_framerate,
            SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &minRate, &maxRate))));
    }
}

namespace {

spa_pod* metaParam(spa_pod_builder* builder, spa_meta_type type, std::uint32_t size) {
    return static_cast<spa_pod*>(spa_pod_builder_add_object(
        builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(type),
        SPA_PARAM_META_size, SPA_POD_Int(size)));
}

}  // namespace

void addBufferParams(ParamList& params) {
    params.add(static_cast<spa_pod*>(spa_pod_builder_add_object(
        params.builder(), SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
        SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_blocks,
        SPA_POD_Int(1), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)))));
    params.add(metaParam(params.builder(), SPA_META_Header, sizeof(spa_meta_header)));
    params.add(metaParam(params.builder(), SPA_META_VideoCrop, sizeof(spa_meta_region)));
    // Where the producer says what changed, only that is scaled and converted.
    params.add(static_cast<spa_pod*>(spa_pod_builder_add_object(
        params.builder(), SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kDamageRegions, sizeof(spa_meta_region),
                                 sizeof(spa_meta_region) * kDamageRegions))));
    params.add(static_cast<spa_pod*>(spa_pod_builder_add_object(
        params.builder(), SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(kCursorSide, kCursorSide), cursorMetaSize(1, 1),
                                 cursorMetaSize(kCursorSide, kCursorSide)))));
}

}  // namespace ostrovane::platform::pipewire
