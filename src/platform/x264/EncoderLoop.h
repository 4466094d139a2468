#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/VideoEncoder.h"
#include "platform/x264/I420Converter.h"
#include "platform/x264/X264Handle.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::x264 {

// The encoder side of a session: a fixed pool of I420 pictures that the
// capture queue fills, and the loop that runs libx264 and the output handlers
// on the session's own thread.
//
// A picture is free, being filled (capture queue), waiting, or being encoded.
// Three pictures give two waiting plus one being encoded: when none is free
// the capture side refuses the image at once, so memory stays flat and the
// delay from capture to output stays bounded.
class EncoderLoop {
  public:
    static constexpr std::size_t kPictures = 3;

    struct Slot {
        enum class State { free, filling, waiting, encoding };
        explicit Slot(int width, int height) : picture(width, height) {}

        I420Picture picture;
        // The fields below belong to the capture queue while filling and to
        // the encoder thread afterwards; the state (guarded by mutex_) hands
        // them over.
        State state = State::free;
        std::uint64_t ticket = 0;
        MediaTime presentationTime;
        bool forceKeyframe = false;
        EncodedFrameHandler onOutput;
    };

    EncoderLoop(X264Handle encoder, int width, int height, ParameterSets headers);

    // ---- capture queue ----
    // A free picture to fill, or nothing with the reason (kEncoderBusy, or
    // kX264InvalidSession after invalidate).
    Slot* acquire(EncoderStatus& refusal);
    // Queues a filled picture for encoding.
    void submit(Slot& slot, MediaTime presentationTime, bool forceKeyframe,
                EncodedFrameHandler onOutput);
    // Gives back a picture that could not be filled.
    void release(Slot& slot);

    // ---- any thread ----
    // Waits (at most `limit`) until every submitted picture has been handed
    // to its handler. Returns at once on the encoder thread.
    void completeFrames(std::chrono::milliseconds limit);
    // No handler runs after this returns (unless called from a handler).
    void invalidate(std::chrono::milliseconds limit);
    // Makes run() return; waiting pictures are dropped without output.
    void stop();
    bool isEncoderThread() const { return threadId_.load() == std::this_thread::get_id(); }

    // ---- the encoder thread ----
    void run();

  private:
    // A submitted picture whose access unit has not come out yet. x264 is
    // set up to return each picture's access unit at once, so at most one is
    // in flight; the ring absorbs a delay should a version hold frames back.
    struct Pending {
        std::uint64_t ticket = 0;
        MediaTime presentationTime;
        EncodedFrameHandler onOutput;
    };
    static constexpr std::size_t kMaxPending = 8;

    Slot* nextWaitingLocked() REQUIRES(mutex_);
    void encode(Slot& slot);
    void flushDelayed();
    void handleOutput(int size, const x264_nal_t* nals, const x264_picture_t& out);
    void failOldestPending();
    void deliver(EncodedFrameHandler& onOutput, EncoderStatus status,
                 std::optional<EncodedFrame> frame);

    X264Handle encoder_;  // encoder thread only
    const ParameterSets headers_;
    std::array<Pending, kMaxPending> pending_;  // encoder thread only
    std::size_t pendingFirst_ = 0;              // encoder thread only
    std::size_t pendingCount_ = 0;              // encoder thread only
    std::atomic<std::thread::id> threadId_;

    util::Mutex mutex_;
    std::condition_variable changed_;
    std::array<Slot, kPictures> slots_;  // states guarded by mutex_
    std::uint64_t _nextTicket GUARDED_BY(mutex_) = 0;
    std::size_t _outstanding GUARDED_BY(mutex_) = 0;  // submitted, not yet handed outmutex_
    bool _flushRequested GUARDED_BY(mutex_) = false;
    bool _inHandler GUARDED_BY(mutex_) = false;
    bool _invalidated GUARDED_BY(mutex_) = false;
    bool _stopping GUARDED_BY(mutex_) = false;
};

}  // namespace ostrovane::platform::x264
