#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "dispatch/SerialQueue.h"
#include "platform/MediaTime.h"
#include "platform/PlatformError.h"
#include "platform/SampleBuffer.h"
#include "platform/ScreenContent.h"
#include "platform/StreamConfiguration.h"
#include "platform/image/Image.h"

namespace ostrovane::platform {

enum class StreamOutputType { screen, audio };

// Error codes with which a running stream stops by itself.
inline constexpr std::int64_t kStreamContentionCode = -3805;
// And the one with which a stream that does not run refuses a stop or an update.
inline constexpr std::int64_t kStreamNotRunningCode = -3808;
inline constexpr std::int64_t kStreamDisplayUnavailableCode = -3815;

// Why a stream stopped: another application took the capture over, the
// captured display went away, or anything else.
enum class StreamStopKind { contention, displayUnavailable, other };

struct StreamStopError {
    Error error;

    std::int64_t code() const { return error.code; }
    StreamStopKind kind() const {
        if (error.code == kStreamContentionCode)
            return StreamStopKind::contention;
        if (error.code == kStreamDisplayUnavailableCode)
            return StreamStopKind::displayUnavailable;
        return StreamStopKind::other;
    }
};

// One captured screen sample. A sample may be invalid or carry no image
// (status-only samples, sent when nothing changed); receivers skip those.
struct ScreenSample {
    std::shared_ptr<const Image> image;
    MediaTime presentationTime;
    bool isValid = true;
};

using AudioSampleHandler = std::function<void(std::shared_ptr<const SampleBuffer>)>;
using ScreenSampleHandler = std::function<void(const ScreenSample&)>;
// Completions of start, stop and filter updates: nullopt is success.
using StreamCompletion = std::function<void(MaybeError)>;
// The stream's delegate: called on a platform thread when the stream stopped
// by itself, at most once per stream.
using StreamStopHandler = std::function<void(const StreamStopError&)>;

// A capture stream of one content filter.
//
// Lifecycle: add outputs → startCapture → (updateContentFilter)* →
// stopCapture. Samples of each output type go to that output's handler on
// its queue, as the queue's tasks (which a provider may run on its own thread
// while the queue is idle, as for capture sessions' outputs). Every
// completion is called exactly once, on a platform thread; a start without an
// error means capture runs. After removeOutput returns, no new sample of that
// type is handed to its queue.
class CaptureStream {
  public:
    virtual ~CaptureStream() = default;

    // Adding may fail (for instance a second output of one type).
    virtual MaybeError addAudioOutput(AudioSampleHandler handler, dispatch::QueueRef queue) = 0;
    virtual MaybeError addScreenOutput(ScreenSampleHandler handler, dispatch::QueueRef queue) = 0;
    virtual MaybeError removeOutput(StreamOutputType type) = 0;

    virtual void startCapture(StreamCompletion completion) = 0;
    virtual void stopCapture(StreamCompletion completion) = 0;
    // The stream keeps its configuration and shows the new content.
    virtual void updateContentFilter(const ContentFilter& filter, StreamCompletion completion) = 0;

    virtual const StreamConfiguration& configuration() const = 0;

    // The stream waits for its capture service to come back (a sound server
    // that restarts) and resumes by itself: no audio meanwhile is no stall.
    virtual bool isAwaitingService() const { return false; }
};

}  // namespace ostrovane::platform
