#include "platform/x264/EncoderLoop.h"

#include "platform/x264/X264VideoEncoders.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::x264 {

EncoderLoop::EncoderLoop(X264Handle encoder, int width, int height, ParameterSets headers)
    : encoder_(std::move(encoder)),
      headers_(std::move(headers)),
      slots_{Slot(width, height), Slot(width, height), Slot(width, height)} {}

EncoderLoop::Slot* EncoderLoop::acquire(EncoderStatus& refusal) {
    util::MutexLock lock(mutex_);
    if (_invalidated) {
        refusal = kX264InvalidSession;
        return nullptr;
    }
    for (Slot& slot : slots_) {
        if (slot.state == Slot::State::free) {
            slot.state = Slot::State::filling;
            return &slot;
        }
    }
    refusal = kEncoderBusy;
    return nullptr;
}

void EncoderLoop::submit(Slot& slot, MediaTime presentationTime, bool forceKeyframe,
                         EncodedFrameHandler onOutput) {
    slot.presentationTime = presentationTime;
    slot.forceKeyframe = forceKeyframe;
    slot.onOutput = std::move(onOutput);
    // Notified under the lock: a handler may release the last owner of the
    // loop as soon as the lock is free.
    util::MutexLock lock(mutex_);
    slot.ticket = _nextTicket++;
    slot.state = Slot::State::waiting;
    ++_outstanding;
    changed_.notify_all();
}

void EncoderLoop::release(Slot& slot) {
    util::MutexLock lock(mutex_);
    slot.state = Slot::State::free;
}

void EncoderLoop::completeFrames(std::chrono::milliseconds limit) {
    if (isEncoderThread())
        return;
    util::MutexLock lock(mutex_);
    _flushRequested = true;
    changed_.notify_all();
    lock.waitFor(changed_, limit, [this]() REQUIRES(mutex_) {
        return _stopping || (_outstanding == 0 && !_flushRequested);
    });
}

void EncoderLoop::invalidate(std::chrono::milliseconds limit) {
    util::MutexLock lock(mutex_);
    _invalidated = true;
    changed_.notify_all();
    if (!isEncoderThread())
        lock.waitFor(changed_, limit, [this]() REQUIRES(mutex_) { return !_inHandler; });
}

void EncoderLoop::stop() {
    {
        util::MutexLock lock(mutex_);
        _stopping = true;
        _invalidated = true;
    }
    changed_.notify_all();
}

EncoderLoop::Slot* EncoderLoop::nextWaitingLocked() {
    Slot* next = nullptr;
    for (Slot& slot : slots_) {
        if (slot.state == Slot::State::waiting && (!next || slot.ticket < next->ticket))
            next = &slot;
    }
    return next;
}

void EncoderLoop::run() {
    threadId_.store(std::this_thread::get_id());
    util::MutexLock lock(mutex_);
    for (;;) {
        lock.wait(changed_, [this]() REQUIRES(mutex_) {
            return _stopping || _flushRequested || nextWaitingLocked() != nullptr;
        });
        if (_stopping)
            return;
        if (Slot* slot = nextWaitingLocked()) {
            if (_invalidated) {
                // Nobody listens any more: drop the picture unencoded.
                EncodedFrameHandler dropped = std::move(slot->onOutput);
                slot->state = Slot::State::free;
                --_outstanding;
                lock.unlock();
                dropped = nullptr;
                changed_.notify_all();
                lock.lock();
                continue;
            }
            slot->state = Slot::State::encoding;
            lock.unlock();
            encode(*slot);
            lock.lock();
            continue;
        }
        lock.unlock();
        flushDelayed();
        lock.lock();
        _flushRequested = false;
        changed_.notify_all();
    }
}

void EncoderLoop::encode(Slot& slot) {
    if (pendingCount_ == kMaxPending)
        failOldestPending();
    Pending& pending = pending_[(pendingFirst_ + pendingCount_) % kMaxPending];
    pending.ticket = slot.ticket;
    pending.presentationTime = slot.presentationTime;
    pending.onOutput = std::move(slot.onOutput);
    ++pendingCount_;

    x264_picture_t in;
    x264_picture_init(&in);
    in.img.i_csp = X264_CSP_I420;
    in.img.i_plane = 3;
    in.img.plane[0] = slot.picture.y.data();
    in.img.plane[1] = slot.picture.u.data();
    in.img.plane[2] = slot.picture.v.data();
    in.img.i_stride[0] = slot.picture.width;
    in.img.i_stride[1] = slot.picture.width / 2;
    in.img.i_stride[2] = slot.picture.width / 2;
    in.i_type = slot.forceKeyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;
    // Macroblocks equal to the previous picture: encoded as skips, unsearched.
    if (slot.picture.constant)
        in.prop.mb_info = slot.picture.macroblocks.data();
    in.i_pts = static_cast<std::int64_t>(slot.ticket);

    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    const int size = x264_encoder_encode(encoder_.get(), &nals, &count, &in, &out);
    // x264 has copied the picture: it can be filled again.
    release(slot);
    handleOutput(size, nals, out);
}

void EncoderLoop::flushDelayed() {
    while (pendingCount_ > 0 && x264_encoder_delayed_frames(encoder_.get()) > 0) {
        x264_nal_t* nals = nullptr;
        int count = 0;
        x264_picture_t out;
        const int size = x264_encoder_encode(encoder_.get(), &nals, &count, nullptr, &out);
        if (size <= 0)
            break;
        handleOutput(size, nals, out);
    }
    // Whatever x264 still holds will not come out: its handlers hear so.
    while (pendingCount_ > 0)
        failOldestPending();
}

void EncoderLoop::handleOutput(int size, const x264_nal_t* nals, const x264_picture_t& out) {
    if (size < 0) {
        failOldestPending();
        return;
    }
    if (size == 0 || pendingCount_ == 0)
        return;  // held back; comes out with a later call
    // Output order is input order: anything older than this access unit
    // never produced one.
    while (pendingCount_ > 1 &&
           pending_[pendingFirst_].ticket < static_cast<std::uint64_t>(out.i_pts))
        failOldestPending();

    Pending& pending = pending_[pendingFirst_];
    EncodedFrame frame;
    // x264 lays the payloads of one call's NAL units out back to back.
    frame.data.assign(nals[0].p_payload, nals[0].p_payload + size);
    frame.presentationTime = pending.presentationTime;
    frame.isKeyframe = out.b_keyframe != 0;
    if (frame.isKeyframe)
        frame.parameterSets = headers_;
    pendingFirst_ = (pendingFirst_ + 1) % kMaxPending;
    --pendingCount_;
    deliver(pending.onOutput, 0, std::move(frame));
}

void EncoderLoop::failOldestPending() {
    Pending& pending = pending_[pendingFirst_];
    pendingFirst_ = (pendingFirst_ + 1) % kMaxPending;
    --pendingCount_;
    deliver(pending.onOutput, kX264EncoderFailed, std::nullopt);
}

void EncoderLoop::deliver(EncodedFrameHandler& onOutput, EncoderStatus status,
                          std::optional<EncodedFrame> frame) {
    EncodedFrameHandler handler = std::move(onOutput);
    bool call = false;
    {
        util::MutexLock lock(mutex_);
        call = !_invalidated && handler;
        _inHandler = call;
    }
    if (call)
        handler(status, std::move(frame));
    handler = nullptr;
    {
        util::MutexLock lock(mutex_);
        _inHandler = false;
        --_outstanding;
    }
    changed_.notify_all();
}

}  // namespace ostrovane::platform::x264
