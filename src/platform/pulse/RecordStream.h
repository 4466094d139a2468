#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/PlatformError.h"
#include "platform/SampleBuffer.h"
#include "platform/pulse/PulseConnection.h"
#include "platform/pulse/PulseSampleBuffer.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::pulse {

struct RecordRequest {
    std::string source;        // the source's name; the server may not pick another
    StreamDescription format;  // interleaved PCM, as the stream should deliver it
    std::string streamName;
    std::chrono::milliseconds fragment{10};
    // The owner may move the recording to another source (moveTo), and the
    // server may move it to another monitor (it follows the default output
    // that way); a recording the server moves to anything else ends.
    bool movable = false;
};

using BufferEvent = std::function<void(std::shared_ptr<const SampleBuffer>)>;

// What a running record stream reports. Each runs on the main loop thread
// with its lock held: it must only copy values and post work to a queue,
// except `buffer`, which may hand the buffer to a handler that runs right
// there and may even destroy the stream.
struct RecordEvents {
    BufferEvent buffer;
    // The stream ended by itself (killed, source gone, connection lost); once.
    std::function<void(const Error&)> failed;
    std::function<void(bool suspended)> suspended;
};

// One PulseAudio record stream, connected to exactly the source asked for
// (PA_STREAM_DONT_MOVE unless movable: see RecordRequest; following the
// default device is the caller's business) in small fragments. On PipeWire's
// pulse server each stream has a context of its own: there a record stream
// that shares its context with another one often gets nothing for seconds.
//
// Lifecycle: open → events → destruction. Once the destructor has returned
// no event runs any more.
class RecordStream {
  public:
    // Waits, at most the connection's timeout, for the stream to become ready.
    static Result<std::unique_ptr<RecordStream>> open(std::shared_ptr<PulseConnection> connection,
                                                      RecordRequest request, RecordEvents events);
    ~RecordStream();

    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;

    // A corked stream keeps its place but takes no audio, so the source does
    // not count as running for it.
    void setCorked(bool corked);

    // Moves a movable recording to another source without interrupting it;
    // a recording the server already moved there stays. Waits at most the
    // connection's timeout for the server's answer.
    MaybeError moveTo(const std::string& source);

    class Key {
        friend class RecordStream;
        Key() = default;
    };
    RecordStream(Key, std::shared_ptr<PulseConnection> connection, RecordRequest request,
                 RecordEvents events);

  private:
    Error errorLocked(const std::string& what) const;
    void readLocked();

    // On PipeWire: a context of its own, ready; null elsewhere.
    MaybeError openOwnContext(pa_threaded_mainloop* loop, std::chrono::milliseconds timeout);
    static void onContextState(pa_context* context, void* self);
    static void onState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onSuspended(pa_stream* stream, void* self);
    static void onMoved(pa_stream* stream, void* self);
    static void onMovedTo(pa_context*, const pa_source_info* info, int eol, void* self);
    void endLocked(const Error& error);

    const std::shared_ptr<PulseConnection> connection_;
    const RecordRequest request_;
    const RecordEvents events_;
    // Shared with a delivery in progress, which may outlive this object.
    const std::shared_ptr<const BufferEvent> deliver_;

    // Main loop thread (or main loop lock) only.
    ContextPtr ownContext_;  // before the stream, which it outlives
    StreamPtr stream_;
    std::optional<FragmentTimeline> timeline_;
    bool failedReported_ = false;
    std::string source_;  // the source the recording must be on
    // On a source not asked for, or not yet known to be a monitor: its audio
    // is dropped.
    bool strayed_ = false;
    OperationPtr checkMove_;  // asks what the server moved the recording to

    util::Mutex mutex_;
    std::condition_variable settled_;
    pa_stream_state_t _state GUARDED_BY(mutex_) = PA_STREAM_UNCONNECTED;
    pa_context_state_t _contextState GUARDED_BY(mutex_) = PA_CONTEXT_UNCONNECTED;
};

}  // namespace ostrovane::platform::pulse
