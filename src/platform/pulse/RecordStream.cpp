#include "platform/pulse/RecordStream.h"

#include "platform/pulse/PulseAnswer.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/pulse/PulseFormat.h"
#include "platform/pulse/PulseSampleBuffer.h"
#include "util/ThreadAnnotations.h"

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
    auto self = std::make_unique<RecordStream>(Key{}, std::move(connection), std::move(request),
                                               std::move(events));
    self->timeline_.emplace(self->request_.format, pa_frame_size(&*spec));
    self->source_ = self->request_.source;
    pa_threaded_mainloop* loop = self->connection_->mainloop();
    if (auto error = self->openOwnContext(loop, timeout))
        return *error;
    {
        MainloopLock lock(loop);
        pa_context* context =
            self->ownContext_ ? self->ownContext_.get() : self->connection_->readyContextLocked();
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
        pa_stream_set_moved_callback(s, &RecordStream::onMoved, self.get());

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
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY |
            (self->request_.movable ? PA_STREAM_NOFLAGS : PA_STREAM_DONT_MOVE));
        if (pa_stream_connect_record(s, self->request_.source.c_str(), &attr, flags) < 0)
            return self->errorLocked("Cannot record from " + self->request_.source);
    }

    {
        util::MutexLock lock(self->mutex_);
        const bool settled = lock.waitFor(self->settled_, timeout, [&]() REQUIRES(self->mutex_) {
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
    // What a user's report of missing or late audio needs: the format and
    // the fragment the server settled on.
    char settled[PA_SAMPLE_SPEC_SNPRINT_MAX];
    pa_sample_spec_snprint(settled, sizeof settled, pa_stream_get_sample_spec(s));
    const pa_buffer_attr* attr = pa_stream_get_buffer_attr(s);
    const pa_usec_t fragment =
        attr ? pa_bytes_to_usec(attr->fragsize, pa_stream_get_sample_spec(s)) : 0;
    self->connection_->sayOnce("LinuxAudio: recording " + self->request_.source + " as " + settled +
                               ", fragments of " + std::to_string(fragment / PA_USEC_PER_MSEC) +
                               " ms");
    return self;
}

MaybeError RecordStream::openOwnContext(pa_threaded_mainloop* loop,
                                        std::chrono::milliseconds timeout) {
    {
        MainloopLock lock(loop);
        if (!connection_->readyContextLocked() || !connection_->onPipeWireLocked())
            return std::nullopt;  // the connection's own context, or the error it gives
        auto context = connection_->newContextLocked(&RecordStream::onContextState, this);
        if (!context.ok())
            return context.error();
        ownContext_ = std::move(context).value();
    }
    util::MutexLock lock(mutex_);
    const bool settled = lock.waitFor(settled_, timeout, [&]() REQUIRES(mutex_) {
        return _contextState == PA_CONTEXT_READY || _contextState == PA_CONTEXT_FAILED ||
               _contextState == PA_CONTEXT_TERMINATED;
    });
    if (settled && _contextState == PA_CONTEXT_READY)
        return std::nullopt;
    lock.unlock();
    MainloopLock loopLock(loop);
    const int code = settled ? pa_context_errno(ownContext_.get()) : PA_ERR_TIMEOUT;
    ownContext_.reset();
    return Error{
        kPulseErrorDomain, code,
        "Cannot connect to the sound server for " + request_.source + ": " + pa_strerror(code)};
}

void RecordStream::onContextState(pa_context* context, void* userdata) {
    auto* self = static_cast<RecordStream*>(userdata);
    {
        util::MutexLock lock(self->mutex_);
        self->_contextState = pa_context_get_state(context);
    }
    self->settled_.notify_all();
}

RecordStream::RecordStream(Key, std::shared_ptr<PulseConnection> connection, RecordRequest request,
                           RecordEvents events)
    : connection_(std::move(connection)),
      request_(std::move(request)),
      events_(std::move(events)),
      deliver_(events_.buffer ? std::make_shared<const BufferEvent>(events_.buffer) : nullptr) {}

RecordStream::~RecordStream() {
    MainloopLock lock(connection_->mainloop());
    checkMove_.reset();
    stream_.reset();
    ownContext_.reset();
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
        util::MutexLock lock(self->mutex_);
        wasReady = self->_state == PA_STREAM_READY;
        self->_state = state;
    }
    self->settled_.notify_all();
    if (wasReady && (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED))
        self->endLocked(self->errorLocked("The record stream on " + self->source_ + " ended"));
}

void RecordStream::endLocked(const Error& error) {
    if (std::exchange(failedReported_, true))
        return;
    if (events_.failed)
        events_.failed(error);
}

void RecordStream::onMoved(pa_stream* stream, void* userdata) {
    auto* self = static_cast<RecordStream*>(userdata);
    const char* device = pa_stream_get_device_name(stream);
    if (device && self->source_ == device)
        return;  // our own move
    // Nothing passes until we know what the server moved the recording to.
    self->strayed_ = true;
    pa_context* context = self->connection_->readyContextLocked();
    if (self->request_.movable && device && context) {
        self->checkMove_.reset(
            pa_context_get_source_info_by_name(context, device, &RecordStream::onMovedTo, self));
        if (self->checkMove_)
            return;
    }
    self->endLocked(Error{kPulseErrorDomain, PA_ERR_NOENTITY,
                          "The record stream on " + self->source_ + " was moved to " +
                              (device ? device : "no source")});
}

void RecordStream::onMovedTo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* self = static_cast<RecordStream*>(userdata);
    if (eol > 0 || !self->strayed_)
        return;
    const char* device = pa_stream_get_device_name(self->stream_.get());
    // Another monitor: the server following the default output. Anything
    // else (a microphone the server rescued us to) is not what was asked for.
    if (info && device && info->monitor_of_sink != PA_INVALID_INDEX &&
        info->name == std::string(device)) {
        self->source_ = device;
        self->strayed_ = false;
        return;
    }
    self->endLocked(Error{kPulseErrorDomain, PA_ERR_NOENTITY,
                          "The record stream on " + self->source_ + " was moved to " +
                              (device ? device : "no source")});
}

MaybeError RecordStream::moveTo(const std::string& source) {
    PulseAnswer<bool> move;
    auto onDone = [](pa_context*, int success, void* userdata) {
        static_cast<PulseAnswer<bool>*>(userdata)->set(success != 0);
    };
    std::string previous;
    OperationPtr operation;
    {
        MainloopLock lock(connection_->mainloop());
        pa_context* context = connection_->readyContextLocked();
        if (!stream_ || !context || pa_stream_get_state(stream_.get()) != PA_STREAM_READY)
            return Error{kPulseErrorDomain, PA_ERR_BADSTATE, "The record stream is not running"};
        // Already there: the server moved it itself (PipeWire's session
        // manager follows the default output), maybe before its check of
        // where it went came back.
        const char* device = pa_stream_get_device_name(stream_.get());
        if (device && source == device) {
            source_ = source;
            strayed_ = false;
            checkMove_.reset();
            return std::nullopt;
        }
        if (strayed_)
            return Error{kPulseErrorDomain, PA_ERR_BADSTATE, "The record stream is not running"};
        // Set before asking: the server's moved notice may come before its answer.
        previous = std::exchange(source_, source);
        operation.reset(pa_context_move_source_output_by_name(
            context, pa_stream_get_index(stream_.get()), source.c_str(), onDone, &move));
        if (!operation) {
            source_ = previous;
            return errorLocked("Cannot move the recording to " + source);
        }
    }
    const std::optional<bool> moved =
        move.await(connection_->mainloop(), operation, connection_->timeout());
    MainloopLock lock(connection_->mainloop());
    if (moved == true)
        return std::nullopt;
    const bool answered = moved.has_value();
    if (source_ == source)
        source_ = previous;
    return Error{kPulseErrorDomain, answered ? PA_ERR_NOENTITY : PA_ERR_TIMEOUT,
                 "The sound server did not move the recording to " + source};
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
    // Everything readable is taken first and handed on after: a handler may
    // run on this very thread and end the recording, which destroys this
    // object, so nothing of it is touched once the first buffer is handed on.
    std::vector<std::shared_ptr<const SampleBuffer>> buffers;
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        // A failing peek means a failing stream; the state callback reports it.
        if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0)
            break;  // nothing (more) to read
        // Audio of a source we did not ask for is skipped like a hole.
        auto buffer = timeline_->take(data, bytes, !strayed_);
        pa_stream_drop(s);
        if (buffer)
            buffers.push_back(std::move(buffer));
    }
    if (buffers.empty() || !deliver_)
        return;
    const auto deliver = deliver_;
    for (auto& buffer : buffers)
        (*deliver)(std::move(buffer));
}

}  // namespace ostrovane::platform::pulse
