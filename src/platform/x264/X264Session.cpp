#include "platform/x264/X264Session.h"

#include <chrono>

#include "dispatch/ThreadName.h"
#include "platform/x264/X264VideoEncoders.h"

namespace ostrovane::platform::x264 {

namespace {

// How long completeFrames and invalidate wait for the encoder thread: far
// more than one picture takes, short enough that a stuck encoder cannot hold
// a tear-down for ever.
constexpr std::chrono::milliseconds kWaitLimit{5000};

}  // namespace

X264Session::X264Session(std::shared_ptr<EncoderLoop> loop, int width, int height)
    : loop_(std::move(loop)), converter_(width, height) {
    thread_ = std::thread([loop = loop_] {
        // Named, or it shows under the name of whichever thread started it.
        dispatch::nameCurrentThread("video.encode");
        loop->run();
    });
}

X264Session::~X264Session() {
    loop_->stop();
    if (thread_.get_id() == std::this_thread::get_id()) {
        // Released from one of its own handlers: the thread ends as soon as
        // that handler returns, keeping the loop alive until then.
        thread_.detach();
    } else {
        thread_.join();
    }
}

EncoderStatus X264Session::encode(const Image& image, MediaTime presentationTime, MediaTime,
                                  bool forceKeyframe, EncodedFrameHandler onOutput) {
    EncoderStatus refusal = 0;
    EncoderLoop::Slot* slot = loop_->acquire(refusal);
    if (!slot)
        return refusal;
    if (!converter_.convert(image, slot->picture)) {
        loop_->release(*slot);
        return kX264ParameterError;
    }
    loop_->submit(*slot, presentationTime, forceKeyframe, std::move(onOutput));
    return 0;
}

void X264Session::completeFrames() {
    loop_->completeFrames(kWaitLimit);
}

void X264Session::invalidate() {
    loop_->invalidate(kWaitLimit);
}

}  // namespace ostrovane::platform::x264
