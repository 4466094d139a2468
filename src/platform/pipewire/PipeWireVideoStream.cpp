#include "platform/pipewire/PipeWireVideoStream.h"

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/ScreenStreamErrors.h"
#include "platform/pipewire/FrameCopy.h"
#include "platform/pipewire/VideoStreamParams.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pipewire {

namespace {

std::string formatName(std::uint32_t format) {
    switch (format) {
        case SPA_VIDEO_FORMAT_BGRx:
            return "BGRx";
        case SPA_VIDEO_FORMAT_BGRA:
            return "BGRA";
        case SPA_VIDEO_FORMAT_RGBx:
            return "RGBx";
        case SPA_VIDEO_FORMAT_RGBA:
            return "RGBA";
        default:
            return "format " + std::to_string(format);
    }
}

Error pipeWireError(std::string message) {
    return screenStreamError(kPipeWireCode, std::move(message));
}

void initPipeWire() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

struct ThreadLoopDeleter {
    void operator()(pw_thread_loop* loop) const { pw_thread_loop_destroy(loop); }
};
struct ContextDeleter {
    void operator()(pw_context* context) const { pw_context_destroy(context); }
};
struct CoreDeleter {
    void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
struct RegistryDeleter {
    void operator()(pw_registry* registry) const {
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    }
};
struct StreamDeleter {
    void operator()(pw_stream* stream) const { pw_stream_destroy(stream); }
};

// Holds the thread loop's lock for a scope: the loop's thread runs no
// callback meanwhile.
class LoopLock {
  public:
    explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
    ~LoopLock() { pw_thread_loop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

  private:
    pw_thread_loop* loop_;
};

std::optional<PixelOrder> orderOf(spa_video_format format) {
    switch (format) {
        case SPA_VIDEO_FORMAT_BGRx:
        case SPA_VIDEO_FORMAT_BGRA:
            return PixelOrder::BlueFirst;
        case SPA_VIDEO_FORMAT_RGBx:
        case SPA_VIDEO_FORMAT_RGBA:
            return PixelOrder::RedFirst;
        default:
            return std::nullopt;
    }
}

template <typename T>
T* metaData(spa_buffer& buffer, spa_meta_type type) {
    return static_cast<T*>(spa_buffer_find_meta_data(&buffer, type, sizeof(T)));
}

// The part of a `width` x `height` rectangle at (x, y) inside a
// `boundsWidth` x `boundsHeight` image.
PixelRect clippedRect(std::int64_t x, std::int64_t y, std::uint32_t width, std::uint32_t height,
                      std::uint32_t boundsWidth, std::uint32_t boundsHeight) {
    const std::int64_t left = std::max<std::int64_t>(x, 0), top = std::max<std::int64_t>(y, 0);
    const std::int64_t right = std::min<std::int64_t>(x + width, boundsWidth);
    const std::int64_t bottom = std::min<std::int64_t>(y + height, boundsHeight);
    if (right <= left || bottom <= top)
        return {};
    return {static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top),
            static_cast<std::uint32_t>(right - left), static_cast<std::uint32_t>(bottom - top)};
}

}  // namespace

class PipeWireVideoStream::Impl {
  public:
    explicit Impl(Options options) : options_(std::move(options)) {}
    ~Impl();

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    MaybeError start();
    bool takeLatest(Image& image, PictureChange& change);
    VideoStreamStats stats() const;

  private:
    // What the stream's thread waits for and reports; touched with the
    // loop's lock held.
    struct LoopState {
        pw_stream_state state = PW_STREAM_STATE_UNCONNECTED;
        bool streamed = false;
        int syncSeq = -1;
        bool synced = false;
        bool started = false;  // connect() has returned the stream
        std::optional<Error> failure;
    };

    // A cursor as the producer last described it.
    struct Cursor {
        bool visible = false;
        std::int32_t x = 0;
        std::int32_t y = 0;
        CursorSprite sprite;
    };

    MaybeError connectCore();
    MaybeError connectStream();
    // Waits, the loop locked, until `done` holds or the timeout has passed.
    template <typename Done>
    bool waitFor(Done&& done);
    void fail(Error error);
    bool closing() {
        util::MutexLock lock(frameMutex_);
        return _closing;
    }

    void onCoreDone(std::uint32_t id, int seq);
    void onCoreError(std::uint32_t id, int res, const char* message);
    void onGlobalRemoved(std::uint32_t id);
    void onStateChanged(pw_stream_state state, const char* error);
    void onParamChanged(std::uint32_t id, const spa_pod* param);
    void onProcess();
    void readCursor(spa_buffer& buffer) REQUIRES(frameMutex_);
    // The buffer's visible part: its crop, or all of the negotiated size.
    FrameRegion visibleRegionOf(spa_buffer& buffer) REQUIRES(frameMutex_);
    // Adds what the producer says changed in the buffer to _damage.
    void noteDamage(spa_buffer& buffer) REQUIRES(frameMutex_);
    bool copyOut(spa_buffer& buffer) REQUIRES(frameMutex_);

    static const pw_core_events kCoreEvents;
    static const pw_registry_events kRegistryEvents;
    static const pw_stream_events kStreamEvents;

    Options options_;
    // Destroyed stream first, loop last, once the loop has stopped.
    std::unique_ptr<pw_thread_loop, ThreadLoopDeleter> loop_;
    std::unique_ptr<pw_context, ContextDeleter> context_;
    std::unique_ptr<pw_core, CoreDeleter> core_;
    std::unique_ptr<pw_registry, RegistryDeleter> registry_;
    std::unique_ptr<pw_stream, StreamDeleter> stream_;
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    spa_hook streamListener_{};
    bool coreListening_ = false;
    bool registryListening_ = false;
    bool streamListening_ = false;

    LoopState loopState_;
    // The negotiated format, the cursor and the frame being copied: the
    // stream's callbacks only, which PipeWire may hand from its data thread
    // to its loop thread; the lock orders them.
    util::Mutex frameMutex_;
    bool _closing GUARDED_BY(frameMutex_) = false;  // the stream is being destroyed
    std::uint32_t _width GUARDED_BY(frameMutex_) = 0;
    std::uint32_t _height GUARDED_BY(frameMutex_) = 0;
    PixelOrder _order GUARDED_BY(frameMutex_) = PixelOrder::BlueFirst;
    Cursor _cursor GUARDED_BY(frameMutex_);
    Image _work GUARDED_BY(frameMutex_);  // the frame being copied
    // What changed since the last image copied out: every buffer's damage,
    // skipped and dropped ones too, in the image's pixels.
    PictureChange _damage GUARDED_BY(frameMutex_);
    FrameRegion _shown GUARDED_BY(frameMutex_);      // of the last image copied out
    PixelRect _drawnCursor GUARDED_BY(frameMutex_);  // where it was drawn into that image
    // Said once per format, on whichever thread PipeWire copies from.
    bool _bufferTypeSaid GUARDED_BY(frameMutex_) = false;

    mutable util::Mutex imageMutex_;
    Image _staging GUARDED_BY(imageMutex_);  // the newest complete frame
    bool _fresh GUARDED_BY(imageMutex_) = false;
    // What changed in _staging since the image taken before it.
    PictureChange _stagingChange GUARDED_BY(imageMutex_);

    std::atomic<std::uint64_t> framesReceived_{0};
    std::atomic<std::uint64_t> framesDropped_{0};
    std::atomic<std::uint64_t> framesSkipped_{0};
    std::atomic<std::uint64_t> size_{0};  // width << 32 | height
    bool coreSaid_ = false;               // the stream's thread only

  public:
    void say(const std::string& line) const {
        if (options_.log)
            options_.log(line);
    }
};

const pw_core_events PipeWireVideoStream::Impl::kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = [](void* self, std::uint32_t id, int seq) {
        static_cast<Impl*>(self)->onCoreDone(id, seq);
    };
    events.error = [](void* self, std::uint32_t id, int, int res, const char* message) {
        static_cast<Impl*>(self)->onCoreError(id, res, message);
    };
    events.info = [](void* self, const pw_core_info* info) {
        auto& impl = *static_cast<Impl*>(self);
        if (info == nullptr || std::exchange(impl.coreSaid_, true))
            return;
        impl.say(std::string("PipeWireVideoStream: library ") + pw_get_library_version() +
                 ", daemon " + (info->version ? info->version : "?"));
    };
    return events;
}();

const pw_registry_events PipeWireVideoStream::Impl::kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global_remove = [](void* self, std::uint32_t id) {
        static_cast<Impl*>(self)->onGlobalRemoved(id);
    };
    return events;
}();

const pw_stream_events PipeWireVideoStream::Impl::kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* self, pw_stream_state, pw_stream_state state,
                              const char* error) {
        static_cast<Impl*>(self)->onStateChanged(state, error);
    };
    events.param_changed = [](void* self, std::uint32_t id, const spa_pod* param) {
        static_cast<Impl*>(self)->onParamChanged(id, param);
    };
    events.process = [](void* self) { static_cast<Impl*>(self)->onProcess(); };
    return events;
}();

PipeWireVideoStream::Impl::~Impl() {
    // PipeWire may run the process callback on its data thread, which
    // stopping our loop does not stop: from here on callbacks do nothing,
    // and disconnecting takes the node off the data thread before its
    // listeners go.
    {
        util::MutexLock lock(frameMutex_);
        _closing = true;
    }
    if (loop_ && stream_) {
        LoopLock lock(loop_.get());
        pw_stream_disconnect(stream_.get());
    }
    // With the loop stopped no other callback can run; the listeners go
    // before the handles so that tearing those down reports nothing.
    if (loop_)
        pw_thread_loop_stop(loop_.get());
    if (streamListening_)
        spa_hook_remove(&streamListener_);
    if (registryListening_)
        spa_hook_remove(&registryListener_);
    if (coreListening_)
        spa_hook_remove(&coreListener_);
    stream_.reset();
    registry_.reset();
    core_.reset();
    context_.reset();
    loop_.reset();
}

template <typename Done>
bool PipeWireVideoStream::Impl::waitFor(Done&& done) {
    timespec deadline{};
    pw_thread_loop_get_time(loop_.get(), &deadline,
                            std::chrono::nanoseconds(options_.timeout).count());
    while (!done()) {
        if (pw_thread_loop_timed_wait_full(loop_.get(), &deadline) != 0)
            return done();
    }
    return true;
}

MaybeError PipeWireVideoStream::Impl::start() {
    initPipeWire();
    loop_.reset(pw_thread_loop_new("ostrovane-pw-video", nullptr));
    if (!loop_)
        return pipeWireError("Cannot create a PipeWire thread loop: " +
                             std::string(std::strerror(errno)));
    context_.reset(pw_context_new(pw_thread_loop_get_loop(loop_.get()), nullptr, 0));
    if (!context_)
        return pipeWireError("Cannot create a PipeWire context: " +
                             std::string(std::strerror(errno)));
    if (pw_thread_loop_start(loop_.get()) < 0)
        return pipeWireError("Cannot start the PipeWire thread loop");
    LoopLock lock(loop_.get());
    if (auto error = connectCore())
        return error;
    if (auto error = connectStream())
        return error;
    loopState_.started = true;
    return std::nullopt;
}

MaybeError PipeWireVideoStream::Impl::connectCore() {
    if (options_.remoteFd >= 0) {
        // The core closes the duplicate; the caller keeps its descriptor.
        const int fd = fcntl(options_.remoteFd, F_DUPFD_CLOEXEC, 3);
        if (fd < 0)
            return pipeWireError("Cannot use the PipeWire remote: " +
                                 std::string(std::strerror(errno)));
        core_.reset(pw_context_connect_fd(context_.get(), fd, nullptr, 0));
    } else {
        core_.reset(pw_context_connect(context_.get(), nullptr, 0));
    }
    if (!core_)
        return pipeWireError("Cannot connect to PipeWire: " + std::string(std::strerror(errno)));
    pw_core_add_listener(core_.get(), &coreListener_, &kCoreEvents, this);
    coreListening_ = true;
    // The registry tells when the producer's node goes away, whatever the
    // session manager then does with the stream.
    registry_.reset(pw_core_get_registry(core_.get(), PW_VERSION_REGISTRY, 0));
    if (!registry_)
        return pipeWireError("Cannot watch the PipeWire registry: " +
                             std::string(std::strerror(errno)));
    pw_registry_add_listener(registry_.get(), &registryListener_, &kRegistryEvents, this);
    registryListening_ = true;
    // A round trip proves that a daemon answers on the socket.
    loopState_.syncSeq = pw_core_sync(core_.get(), PW_ID_CORE, 0);
    if (!waitFor([this] { return loopState_.synced || loopState_.failure; }))
        return pipeWireError("PipeWire did not answer within " +
                             std::to_string(options_.timeout.count()) + " ms");
    if (loopState_.failure)
        return loopState_.failure;
    return std::nullopt;
}

MaybeError PipeWireVideoStream::Impl::connectStream() {
    // Never moved to another node when the producer's goes away: the session
    // manager removes the stream instead of capturing something else.
    pw_properties* properties =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_MEDIA_ROLE, "Screen", PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    stream_.reset(pw_stream_new(core_.get(), "ostrovane-video", properties));
    if (!stream_)
        return pipeWireError("Cannot create a PipeWire stream: " +
                             std::string(std::strerror(errno)));
    pw_stream_add_listener(stream_.get(), &streamListener_, &kStreamEvents, this);
    streamListening_ = true;

    ParamList params;
    addAcceptedFormats(params);
    const int res = pw_stream_connect(
        stream_.get(), PW_DIRECTION_INPUT, options_.nodeId,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params.data(), params.size());
    if (res < 0)
        return pipeWireError("Cannot connect to PipeWire node " + std::to_string(options_.nodeId) +
                             ": " + spa_strerror(res));
    if (!waitFor([this] { return loopState_.streamed || loopState_.failure; }))
        return pipeWireError("The PipeWire stream of node " + std::to_string(options_.nodeId) +
                             " did not start within " + std::to_string(options_.timeout.count()) +
                             " ms");
    if (loopState_.failure)
        return loopState_.failure;
    return std::nullopt;
}

void PipeWireVideoStream::Impl::fail(Error error) {
    if (loopState_.failure || closing())
        return;
    loopState_.failure = error;
    pw_thread_loop_signal(loop_.get(), false);
    // A failure while connecting is connect()'s answer instead.
    if (loopState_.started && options_.onFailure)
        options_.onFailure(error);
}

void PipeWireVideoStream::Impl::onCoreDone(std::uint32_t id, int seq) {
    if (id == PW_ID_CORE && seq == loopState_.syncSeq) {
        loopState_.synced = true;
        pw_thread_loop_signal(loop_.get(), false);
    }
}

void PipeWireVideoStream::Impl::onCoreError(std::uint32_t id, int res, const char* message) {
    if (id != PW_ID_CORE)
        return;
    if (res == -EPIPE)
        fail(pipeWireError("The connection to PipeWire was lost"));
    else
        fail(pipeWireError(std::string("PipeWire reported an error: ") +
                           (message ? message : spa_strerror(res))));
}

void PipeWireVideoStream::Impl::onGlobalRemoved(std::uint32_t id) {
    if (id == options_.nodeId)
        fail(pipeWireError("The PipeWire stream ended: its node " + std::to_string(id) +
                           " was removed"));
}

void PipeWireVideoStream::Impl::onStateChanged(pw_stream_state state, const char* error) {
    const pw_stream_state previous = loopState_.state;
    loopState_.state = state;
    if (state == PW_STREAM_STATE_ERROR) {
        fail(pipeWireError(std::string("The PipeWire stream failed: ") +
                           (error ? error : "unknown error")));
    } else if (state == PW_STREAM_STATE_STREAMING) {
        loopState_.streamed = true;
        pw_thread_loop_signal(loop_.get(), false);
    } else if (state == PW_STREAM_STATE_UNCONNECTED && previous != PW_STREAM_STATE_UNCONNECTED) {
        // The session manager removes a stream whose node went away (or
        // never was there): it does not move it to another.
        fail(pipeWireError("The PipeWire stream was disconnected from its producer"));
    }
}

void PipeWireVideoStream::Impl::onParamChanged(std::uint32_t id, const spa_pod* param) {
    if (id != SPA_PARAM_Format || !param)
        return;
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
        spa_format_video_raw_parse(param, &info) < 0 || !orderOf(info.format) ||
        info.size.width == 0 || info.size.height == 0) {
        pw_stream_set_error(stream_.get(), -EINVAL, "unsupported video format");
        return;
    }
    {
        util::MutexLock lock(frameMutex_);
        _width = info.size.width;
        _height = info.size.height;
        _order = *orderOf(info.format);
        _bufferTypeSaid = false;
        _damage = PictureChange{};
    }
    const bool again = size_ != 0;
    size_ = std::uint64_t{info.size.width} << 32 | info.size.height;
    say("PipeWireVideoStream: node " + std::to_string(options_.nodeId) +
        (again ? " renegotiated " : " negotiated ") + formatName(info.format) + " " +
        std::to_string(info.size.width) + "x" + std::to_string(info.size.height) +
        (info.flags & SPA_VIDEO_FLAG_MODIFIER ? ", modifier " + std::to_string(info.modifier)
                                              : ", no modifier"));

    ParamList params;
    addBufferParams(params);
    pw_stream_update_params(stream_.get(), params.data(), params.size());
}

void PipeWireVideoStream::Impl::onProcess() {
    util::MutexLock frame(frameMutex_);
    if (_closing)
        return;
    // Only the newest buffer is shown; older ones go back to the producer
    // at once, their cursor updates read first.
    pw_buffer* newest = nullptr;
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_.get())) {
        if (options_.drawCursor)
            readCursor(*buffer->buffer);
        noteDamage(*buffer->buffer);
        if (newest) {
            pw_stream_queue_buffer(stream_.get(), newest);
            ++framesSkipped_;
        }
        newest = buffer;
    }
    if (!newest)
        return;
    const bool copied = copyOut(*newest->buffer);
    pw_stream_queue_buffer(stream_.get(), newest);
    if (!copied) {
        ++framesDropped_;
        return;
    }
    {
        util::MutexLock lock(imageMutex_);
        std::swap(_staging, _work);
        if (_fresh)
            _stagingChange.add(_damage);
        else
            _stagingChange = std::move(_damage);
        _fresh = true;
    }
    _damage = PictureChange::nothing();
    frame.unlock();
    ++framesReceived_;
    if (options_.onFrame)
        options_.onFrame();
}

void PipeWireVideoStream::Impl::readCursor(spa_buffer& buffer) {
    spa_meta* meta = spa_buffer_find_meta(&buffer, SPA_META_Cursor);
    if (!meta || !meta->data || meta->size < sizeof(spa_meta_cursor))
        return;
    const auto* base = static_cast<const std::uint8_t*>(meta->data);
    spa_meta_cursor cursor{};
    std::memcpy(&cursor, base, sizeof cursor);
    _cursor.visible = cursor.id != 0;
    if (!_cursor.visible)
        return;
    _cursor.x = cursor.position.x;
    _cursor.y = cursor.position.y;
    // No bitmap, or an empty one, keeps the last picture.
    if (cursor.bitmap_offset < sizeof(spa_meta_cursor) ||
        std::uint64_t{cursor.bitmap_offset} + sizeof(spa_meta_bitmap) > meta->size)
        return;
    spa_meta_bitmap bitmap{};
    std::memcpy(&bitmap, base + cursor.bitmap_offset, sizeof bitmap);
    const std::size_t room = meta->size - cursor.bitmap_offset;
    if (bitmap.size.width == 0 || bitmap.size.height == 0 || bitmap.offset > room)
        return;
    if (readCursorBitmap(bitmap.format, base + cursor.bitmap_offset + bitmap.offset,
                         room - bitmap.offset, bitmap.size.width, bitmap.size.height, bitmap.stride,
                         _cursor.sprite)) {
        _cursor.sprite.hotspotX = cursor.hotspot.x;
        _cursor.sprite.hotspotY = cursor.hotspot.y;
    }
}

bool PipeWireVideoStream::Impl::copyOut(spa_buffer& buffer) {
    if (_width == 0 || buffer.n_datas < 1)
        return false;
    if (const auto* header = metaData<spa_meta_header>(buffer, SPA_META_Header);
        header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED))
        return false;
    const spa_data& data = buffer.datas[0];
    if (!_bufferTypeSaid) {
        _bufferTypeSaid = true;
        say(std::string("PipeWireVideoStream: buffers in ") +
            (data.type == SPA_DATA_MemFd    ? "MemFd"
             : data.type == SPA_DATA_MemPtr ? "MemPtr"
             : data.type == SPA_DATA_DmaBuf ? "DmaBuf"
                                            : "memory of type " + std::to_string(data.type)) +
            (spa_buffer_find_meta(&buffer, SPA_META_VideoDamage)
                 ? ", with the damage of each"
                 : ", without damage: each image is scaled and converted whole"));
    }
    if (!data.data || !data.chunk || data.maxsize == 0)
        return false;
    // The chunk lies in memory the producer shares: read it once.
    const spa_chunk chunk = *data.chunk;
    if ((chunk.flags & SPA_CHUNK_FLAG_CORRUPTED) || chunk.size == 0 || chunk.stride < 0)
        return false;
    const std::uint32_t offset = chunk.offset % data.maxsize;
    FrameBytes frame;
    frame.pixels = static_cast<const std::uint8_t*>(data.data) + offset;
    frame.bytes = std::min(chunk.size, data.maxsize - offset);
    frame.width = _width;
    frame.height = _height;
    frame.stride = chunk.stride > 0 ? static_cast<std::uint32_t>(chunk.stride) : _width * 4;
    frame.order = _order;

    const FrameRegion region = visibleRegionOf(buffer);
    if (!copyFrame(frame, region, _work))
        return false;
    if (region != _shown) {
        _damage = PictureChange{};
        _shown = region;
    }
    // A cursor drawn in changes its old place and its new one, whatever the
    // producer says of the picture beneath.
    _damage.add(_drawnCursor);
    _drawnCursor = {};
    if (options_.drawCursor && _cursor.visible && !_cursor.sprite.pixels.empty()) {
        // The cursor's position is in the frame; the image starts at the crop.
        const std::int64_t x = std::int64_t{_cursor.x} - _cursor.sprite.hotspotX - region.x;
        const std::int64_t y = std::int64_t{_cursor.y} - _cursor.sprite.hotspotY - region.y;
        blendCursor(_work, _cursor.sprite, x, y);
        _drawnCursor = clippedRect(x, y, _cursor.sprite.width, _cursor.sprite.height, region.width,
                                   region.height);
        _damage.add(_drawnCursor);
    }
    return true;
}

FrameRegion PipeWireVideoStream::Impl::visibleRegionOf(spa_buffer& buffer) {
    if (const auto* crop = metaData<spa_meta_region>(buffer, SPA_META_VideoCrop))
        return visibleRegion(crop->region.position.x, crop->region.position.y,
                             crop->region.size.width, crop->region.size.height, _width, _height);
    return {0, 0, _width, _height};
}

void PipeWireVideoStream::Impl::noteDamage(spa_buffer& buffer) {
    // No damage said, or none valid: all of it may have changed. The array
    // lies in memory the producer shares: each region is read once.
    const spa_meta* meta = spa_buffer_find_meta(&buffer, SPA_META_VideoDamage);
    if (!meta || !meta->data) {
        _damage = PictureChange{};
        return;
    }
    const FrameRegion region = visibleRegionOf(buffer);
    const auto* base = static_cast<const std::uint8_t*>(meta->data);
    PictureChange change = PictureChange::nothing();
    bool said = false;
    for (std::size_t at = 0; at + sizeof(spa_meta_region) <= meta->size;
         at += sizeof(spa_meta_region)) {
        spa_meta_region damaged{};
        std::memcpy(&damaged, base + at, sizeof damaged);
        if (!spa_meta_region_is_valid(&damaged))
            break;
        said = true;
        change.add(clippedRect(std::int64_t{damaged.region.position.x} - region.x,
                               std::int64_t{damaged.region.position.y} - region.y,
                               damaged.region.size.width, damaged.region.size.height, region.width,
                               region.height));
    }
    if (!said)
        change = PictureChange{};
    _damage.add(change);
}

bool PipeWireVideoStream::Impl::takeLatest(Image& image, PictureChange& change) {
    util::MutexLock lock(imageMutex_);
    if (!_fresh)
        return false;
    std::swap(image, _staging);
    change = std::move(_stagingChange);
    _fresh = false;
    return true;
}

VideoStreamStats PipeWireVideoStream::Impl::stats() const {
    VideoStreamStats stats;
    stats.framesReceived = framesReceived_;
    stats.framesDropped = framesDropped_;
    stats.framesSkipped = framesSkipped_;
    const std::uint64_t size = size_;
    stats.width = static_cast<std::uint32_t>(size >> 32);
    stats.height = static_cast<std::uint32_t>(size);
    return stats;
}

Result<std::unique_ptr<PipeWireVideoStream>> PipeWireVideoStream::connect(Options options) {
    auto impl = std::make_unique<Impl>(std::move(options));
    if (auto error = impl->start())
        return *error;
    return std::make_unique<PipeWireVideoStream>(Key{}, std::move(impl));
}

PipeWireVideoStream::PipeWireVideoStream(Key, std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)) {}

PipeWireVideoStream::~PipeWireVideoStream() = default;

bool PipeWireVideoStream::takeLatest(Image& image, PictureChange& change) {
    return impl_->takeLatest(image, change);
}

bool PipeWireVideoStream::takeLatest(Image& image) {
    PictureChange change;
    return impl_->takeLatest(image, change);
}

VideoStreamStats PipeWireVideoStream::stats() const {
    return impl_->stats();
}

}  // namespace ostrovane::platform::pipewire
