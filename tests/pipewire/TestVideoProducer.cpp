#include "pipewire/TestVideoProducer.h"

#include <spa/param/video/format-utils.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/pipewire/VideoStreamParams.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {

using platform::pipewire::cursorMetaSize;
using platform::pipewire::kCursorSide;
using platform::pipewire::ParamList;

namespace {

// Room for rows padded up to this many bytes beyond width * 4.
constexpr std::uint32_t kMaxPadding = 256;

// The one format the producer offers: a fixed size at a variable rate.
void addFormat(ParamList& params, spa_video_format format, std::uint32_t width,
               std::uint32_t height) {
    spa_rectangle size{width, height};
    spa_fraction rate{0, 1};
    params.add(static_cast<spa_pod*>(spa_pod_builder_add_object(
        params.builder(), SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(format),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_Fraction(&rate))));
}

}  // namespace

int connectSocket(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

namespace {

spa_pod* metaParam(ParamList& params, spa_meta_type type, std::uint32_t size) {
    return static_cast<spa_pod*>(spa_pod_builder_add_object(
        params.builder(), SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(type), SPA_PARAM_META_size, SPA_POD_Int(size)));
}

}  // namespace

TestVideoProducer::TestVideoProducer(const std::string& socket, spa_video_format format,
                                     std::uint32_t width, std::uint32_t height)
    : format_(format), announced_{width, height} {
    pw_init(nullptr, nullptr);
    loop_ = pw_thread_loop_new("test-producer", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    pw_thread_loop_start(loop_);
    pw_thread_loop_lock(loop_);
    const int fd = connectSocket(socket);
    core_ = fd < 0 ? nullptr : pw_context_connect_fd(context_, fd, nullptr, 0);
    if (!core_) {
        failure_ = "cannot connect to " + socket;
        pw_thread_loop_unlock(loop_);
        return;
    }
    stream_ = pw_stream_new(core_, "ostrovane-test-producer",
                            pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_TYPE,
                                              "Video", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = [](void* self, pw_stream_state, pw_stream_state, const char*) {
            pw_thread_loop_signal(static_cast<TestVideoProducer*>(self)->loop_, false);
        };
        e.param_changed = [](void* self, std::uint32_t id, const spa_pod* param) {
            static_cast<TestVideoProducer*>(self)->onParamChanged(id, param);
        };
        return e;
    }();
    pw_stream_add_listener(stream_, &listener_, &events, this);
    ParamList params;
    addFormat(params, format_, width, height);
    pw_stream_connect(
        stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
        params.data(), params.size());
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, std::chrono::nanoseconds(kLimit).count());
    while (pw_stream_get_node_id(stream_) == SPA_ID_INVALID &&
           pw_thread_loop_timed_wait_full(loop_, &deadline) == 0) {
    }
    nodeId_ = pw_stream_get_node_id(stream_);
    if (nodeId_ == SPA_ID_INVALID)
        failure_ = "the producer's node did not appear";
    pw_thread_loop_unlock(loop_);
}

TestVideoProducer::~TestVideoProducer() {
    pw_thread_loop_stop(loop_);
    disconnect();
    if (core_)
        pw_core_disconnect(core_);
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
}

void TestVideoProducer::announce(std::uint32_t width, std::uint32_t height) {
    // Buffers with room for padded rows, and every metadata the consumer reads.
    ParamList params;
    params.add(static_cast<spa_pod*>(spa_pod_builder_add_object(
        params.builder(), SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
        SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_blocks,
        SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(static_cast<int>((width * 4 + kMaxPadding) * height)), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int(static_cast<int>(width * 4)), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)))));
    params.add(metaParam(params, SPA_META_Header, sizeof(spa_meta_header)));
    params.add(metaParam(params, SPA_META_VideoCrop, sizeof(spa_meta_region)));
    params.add(metaParam(params, SPA_META_Cursor, cursorMetaSize(kCursorSide, kCursorSide)));
    pw_stream_update_params(stream_, params.data(), params.size());
}

void TestVideoProducer::onParamChanged(std::uint32_t id, const spa_pod* param) {
    spa_video_info_raw info{};
    if (id != SPA_PARAM_Format || !param || spa_format_video_raw_parse(param, &info) < 0)
        return;
    negotiated_ = {info.size.width, info.size.height};
    announce(info.size.width, info.size.height);
}

void TestVideoProducer::writeCursor(spa_buffer& buffer, const Cursor& cursor) {
    auto* meta = static_cast<spa_meta_cursor*>(
        spa_buffer_find_meta_data(&buffer, SPA_META_Cursor, sizeof(spa_meta_cursor)));
    if (!meta)
        return;
    meta->id = cursor.id;
    meta->position = {cursor.x, cursor.y};
    meta->hotspot = {cursor.hotspotX, cursor.hotspotY};
    meta->bitmap_offset = 0;
    if (cursor.rgba.empty())
        return;
    meta->bitmap_offset = sizeof(spa_meta_cursor);
    auto* bitmap = SPA_PTROFF(meta, meta->bitmap_offset, spa_meta_bitmap);
    bitmap->format = SPA_VIDEO_FORMAT_RGBA;
    bitmap->size = {cursor.width, cursor.height};
    bitmap->stride = static_cast<std::int32_t>(cursor.width * 4);
    bitmap->offset = sizeof(spa_meta_bitmap);
    std::memcpy(SPA_PTROFF(bitmap, bitmap->offset, void), cursor.rgba.data(), cursor.rgba.size());
}

bool TestVideoProducer::waitStreaming() {
    pw_thread_loop_lock(loop_);
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, std::chrono::nanoseconds(kLimit).count());
    while (pw_stream_get_state(stream_, nullptr) != PW_STREAM_STATE_STREAMING &&
           pw_thread_loop_timed_wait_full(loop_, &deadline) == 0) {
    }
    const bool streaming = pw_stream_get_state(stream_, nullptr) == PW_STREAM_STATE_STREAMING;
    pw_thread_loop_unlock(loop_);
    return streaming;
}

bool TestVideoProducer::send(const Frame& frame) {
    // A buffer of the announced size once the graph runs (again, after a resize).
    pw_buffer* buffer = nullptr;
    waitUntil(
        [&] {
            pw_thread_loop_lock(loop_);
            if (stream_ && negotiated_ == announced_ &&
                pw_stream_get_state(stream_, nullptr) == PW_STREAM_STATE_STREAMING)
                buffer = pw_stream_dequeue_buffer(stream_);
            pw_thread_loop_unlock(loop_);
            return buffer != nullptr;
        },
        kLimit, std::chrono::milliseconds(2));
    {
        pw_thread_loop_lock(loop_);
        spa_buffer* b = buffer ? buffer->buffer : nullptr;
        if (!b || !b->datas[0].data || b->datas[0].maxsize < frame.pixels.size()) {
            if (buffer) {
                b->datas[0].chunk->size = 0;  // goes out empty
                pw_stream_queue_buffer(stream_, buffer);
            }
            pw_thread_loop_unlock(loop_);
            return false;
        }
        std::memcpy(b->datas[0].data, frame.pixels.data(), frame.pixels.size());
        *b->datas[0].chunk = {0, frame.chunkSize.value_or(frame.pixels.size()),
                              static_cast<std::int32_t>(frame.stride),
                              static_cast<std::int32_t>(frame.chunkFlags)};
        if (auto* header = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header))))
            header->flags = frame.headerFlags;
        if (auto* crop = static_cast<spa_meta_region*>(
                spa_buffer_find_meta_data(b, SPA_META_VideoCrop, sizeof(spa_meta_region))))
            crop->region = frame.crop.value_or(spa_region{});
        if (frame.cursor)
            writeCursor(*b, *frame.cursor);
        pw_stream_queue_buffer(stream_, buffer);
        pw_thread_loop_unlock(loop_);
    }
    // A cycle may not finish (the consumer still busy with the last one): the
    // graph is triggered again until it has taken the buffer.
    return waitUntil(
        [this] {
            pw_thread_loop_lock(loop_);
            pw_time time{};
            const bool taken =
                pw_stream_get_time_n(stream_, &time, sizeof time) == 0 && time.queued_buffers == 0;
            if (!taken)
                pw_stream_trigger_process(stream_);
            pw_thread_loop_unlock(loop_);
            return taken;
        },
        kLimit, std::chrono::milliseconds(2));
}

void TestVideoProducer::trigger() {
    pw_thread_loop_lock(loop_);
    if (stream_)
        pw_stream_trigger_process(stream_);
    pw_thread_loop_unlock(loop_);
}

void TestVideoProducer::resize(std::uint32_t width, std::uint32_t height) {
    pw_thread_loop_lock(loop_);
    announced_ = {width, height};
    ParamList params;
    addFormat(params, format_, width, height);
    pw_stream_update_params(stream_, params.data(), params.size());
    pw_thread_loop_unlock(loop_);
}

void TestVideoProducer::disconnect() {
    pw_thread_loop_lock(loop_);
    if (stream_) {
        spa_hook_remove(&listener_);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }
    pw_thread_loop_unlock(loop_);
}

}  // namespace ostrovane::test
