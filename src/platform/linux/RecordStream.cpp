#include "platform/linux/RecordStream.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/linux/PulseFormat.h"
#include "platform/linux/PulseSampleBuffer.h"

namespace ostrovane::platform::pulse {

namespace {
// PipeWire's default graph period, 1024 frames at 48 kHz, rounded up.
constexpr pa_usec_t kPipeWirePeriod = 21334;
}  // namespace

Result<std::unique_ptr<RecordStream>> RecordStream::open(
    std::shared_ptr<PulseConnection> connection, RecordRequest request, RecordEvents events) {
    const auto spec = sampleSpecFor(request.format);
    if (!spec) {
        return Error{kPulseErrorDomain, PA_ERR_INVALID,
                     "The format of source " + request.source + " cannot be recorded"};
    }
    const auto timeout = connection->timeout();
    std::unique_ptr<RecordStream> self(
        new RecordStream(std::move(connection), std::move(request), std::move(events)));
    self->frameBytes_ = pa_frame_size(&*spec);
    pa_threaded_mainloop* loop = self->connection_->mainloop();
    {
        MainloopLock lock(loop);
        pa_context* context = self->connection_->readyContextLocked();
        if (!context) {
            return Error{
                kPulseErrorDomain, PA_ERR_CONNECTIONREFUSED,
                "No sound server is reachable (" + self->connection_->unavailableReason() + ")"};
        }
        pa_channel_map map;
        pa_channel_map_init_extend(&map, spec->channels, PA_CHANNEL_MAP_DEFAULT);
        self->stream_.reset(
            pa_stream_new(context, self->request_.streamName.c_str(), &*spec, &map));
        if (!self->stream_)
            return self->errorLocked("Cannot create a record stream");
        pa_stream* s = self->stream_.get();
        pa_stream_set_state_callback(s, &RecordStream::onState, self.get());
        pa_stream_set_read_callback(s, &RecordStream::onRead, self.get());
        pa_stream_set_suspended_callback(s, &RecordStream::onSuspended, self.get());

        pa_buffer_attr attr;
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = static_cast<std::uint32_t>(-1);
        attr.prebuf = static_cast<std::uint32_t>(-1);
        attr.minreq = static_cast<std::uint32_t>(-1);
        // PipeWire turns the fragment into the node's latency, and the
        // smallest latency of all nodes sets the period of the whole graph:
        // a fragment below the graph's usual period (1024 frames at 48 kHz)
        // would make every stream of the desktop wake up more often.
        pa_usec_t fragment =
            static_cast<pa_usec_t>(self->request_.fragment.count()) * PA_USEC_PER_MSEC;
        if (self->connection_->onPipeWireLocked())
            fragment = std::max(fragment, kPipeWirePeriod);
        attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(fragment, &*spec));
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
        if (pa_stream_connect_record(s, self->request_.source.c_str(), &attr, flags) < 0)
            return self->errorLocked("Cannot record from " + self->request_.source);
    }

    {
        std::unique_lock lock(self->mutex_);
        const bool settled = self->settled_.wait_for(lock, timeout, [&] {
            return self->_state == PA_STREAM_READY || self->_state == PA_STREAM_FAILED ||
                   self->_state == PA_STREAM_TERMINATED;
        });
        if (!settled) {
            lock.unlock();
            MainloopLock loopLock(loop);
            self->stream_.reset();
            return Error{kPulseErrorDomain, PA_ERR_TIMEOUT,
                         "The sound server did not open a stream on " + self->request_.source +
                             " within " + std::to_string(timeout.count()) + " ms"};
        }
    }

    MainloopLock lock(loop);
    pa_stream* s = self->stream_.get();
    if (pa_stream_get_state(s) != PA_STREAM_READY)
        return self->errorLocked("Cannot record from " + self->request_.source);
    const char* device = pa_stream_get_device_name(s);
    if (!device || self->request_.source != device) {
        return Error{kPulseErrorDomain, PA_ERR_NOENTITY,
                     "The server offered " + std::string(device ? device : "no source") +
                         " instead of " + self->request_.source};
    }
    return self;
}

RecordStream::RecordStream(std::shared_ptr<PulseConnection> connection, RecordRequest request,
                           RecordEvents events)
    : connection_(std::move(connection)),
      request_(std::move(request)),
      events_(std::move(events)) {}

RecordStream::~RecordStream() {
    MainloopLock lock(connection_->mainloop());
    stream_.reset();
}

void RecordStream::setCorked(bool corked) {
    MainloopLock lock(connection_->mainloop());
    if (stream_ && pa_stream_get_state(stream_.get()) == PA_STREAM_READY)
        forget(pa_stream_cork(stream_.get(), corked ? 1 : 0, nullptr, nullptr));
}

Error RecordStream::errorLocked(const std::string& what) const {
    pa_context* context = connection_->readyContextLocked();
    const int code = stream_ ? pa_context_errno(pa_stream_get_context(stream_.get()))
                             : (context ? pa_context_errno(context) : PA_ERR_CONNECTIONTERMINATED);
    return Error{kPulseErrorDomain, code, what + ": " + pa_strerror(code)};
}

void RecordStream::onState(pa_stream* stream, void* userdata) {
    auto* self = static_cast<RecordStream*>(userdata);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    bool wasReady;
    {
        std::lock_guard lock(self->mutex_);
        wasReady = self->_state == PA_STREAM_READY;
        self->_state = state;
    }
    self->settled_.notify_all();
    if (wasReady && (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) &&
        !self->failedReported_) {
        self->failedReported_ = true;
        if (self->events_.failed)
            self->events_.failed(
                self->errorLocked("The record stream on " + self->request_.source + " ended"));
    }
}

void RecordStream::onSuspended(pa_stream* stream, void* userdata) {
    auto* self = static_cast<RecordStream*>(userdata);
    if (self->events_.suspended)
        self->events_.suspended(pa_stream_is_suspended(stream) == 1);
}

void RecordStream::onRead(pa_stream*, std::size_t, void* userdata) {
    static_cast<RecordStream*>(userdata)->readLocked();
}

void RecordStream::readLocked() {
    pa_stream* s = stream_.get();
    const auto rate = static_cast<std::int32_t>(request_.format.sampleRate);
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        // A failing peek means a failing stream; the state callback reports it.
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0)
            return;  // nothing (more) to read
        const auto frames = static_cast<std::int64_t>(bytes / frameBytes_);
        if (!data) {
            // A hole: the server lost data. Skip it but keep the timeline.
            framesSeen_ += frames;
            pa_stream_drop(s);
            continue;
        }
        const auto* first = static_cast<const std::byte*>(data);
        std::vector<std::byte> copy(first, first + static_cast<std::size_t>(frames) * frameBytes_);
        pa_stream_drop(s);
        auto buffer = std::make_shared<const PulseSampleBuffer>(request_.format, std::move(copy),
                                                                MediaTime{framesSeen_, rate});
        framesSeen_ += frames;
        if (frames > 0 && events_.buffer)
            events_.buffer(std::move(buffer));
    }
}

}  // namespace ostrovane::platform::pulse
