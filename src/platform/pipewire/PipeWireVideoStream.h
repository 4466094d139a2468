#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/PlatformError.h"
#include "platform/image/Image.h"
#include "platform/image/PictureChange.h"

namespace ostrovane::platform::pipewire {

// What a video stream has seen so far.
struct VideoStreamStats {
    std::uint64_t framesReceived = 0;  // buffers whose image was kept
    std::uint64_t framesDropped = 0;   // corrupted or empty buffers
    std::uint64_t framesSkipped = 0;   // older buffers given back for a newer one
    std::uint32_t width = 0;           // the negotiated size, 0 before a format
    std::uint32_t height = 0;
};

// A consumer of one PipeWire video node (the node a screen-cast portal
// hands out), on a thread loop of its own.
//
// It offers BGRx, BGRA, RGBx and RGBA without modifiers and asks for
// shared-memory buffers (MemFd or MemPtr), so every producer falls back to
// memory it can map. In each round it takes every queued buffer, keeps the
// newest and gives the others back at once; a buffer flagged corrupted or
// with an empty chunk is dropped. The newest image is copied out at once as
// opaque BGRA (stride from the chunk, the video-crop metadata honoured, a
// cursor sent as metadata drawn in on request) and the buffer goes back to
// the producer. A new format (a resize) reallocates. The damage a producer
// sends with its buffers (video-damage metadata) says what changed, so that
// the receiver scales and converts only that.
//
// A producer that shows nothing new sends nothing: the last image stays the
// latest. A stream that goes into the error state, a node that goes away
// (the session manager then disconnects the stream rather than moving it
// elsewhere) or a lost connection is reported once through `onFailure`.
class PipeWireVideoStream {
  public:
    struct Options {
        // The remote to connect through (a portal's PipeWire fd); duplicated
        // (close-on-exec), the caller keeps its own. -1: the default daemon.
        int remoteFd = -1;
        std::uint32_t nodeId = 0;
        // Bound of the connection and of every wait on the thread loop.
        std::chrono::milliseconds timeout{5000};
        // Draw a cursor that travels as metadata into the image.
        bool drawCursor = false;
        // Called at most once, on the stream's thread, when the stream fails
        // or its connection is lost. It must not destroy the stream.
        std::function<void(const Error&)> onFailure;
        // Called on the stream's thread whenever a new image is available.
        // Optional; it must be quick and must not call into the stream.
        std::function<void()> onFrame;
        // One diagnostic line: what the producer and the daemon negotiated.
        // Optional; called on the stream's thread.
        std::function<void(std::string_view)> log;
    };

    // Connects and starts streaming; an error when the daemon cannot be
    // reached or the stream cannot be set up within the timeout.
    static Result<std::unique_ptr<PipeWireVideoStream>> connect(Options options);
    // Disconnects and stops the thread loop: no callback runs once it returns.
    ~PipeWireVideoStream();

    PipeWireVideoStream(const PipeWireVideoStream&) = delete;
    PipeWireVideoStream& operator=(const PipeWireVideoStream&) = delete;

    // Moves the newest image received since the last call into `image`
    // (whose pixels may be recycled for the next one). False when nothing
    // new has arrived; `image` is then untouched.
    bool takeLatest(Image& image);
    // The same, with what changed since the image taken before, from the
    // producer's damage where it says it (all of it where not), the drawn
    // cursor's old and new place, and all of it after a new format or crop.
    bool takeLatest(Image& image, PictureChange& change);

    VideoStreamStats stats() const;

    class Impl;
    class Key {
        friend class PipeWireVideoStream;
        Key() = default;
    };
    PipeWireVideoStream(Key, std::unique_ptr<Impl> impl);

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace ostrovane::platform::pipewire
