#include "platform/screens/FrameCadence.h"

namespace ostrovane::platform {

FrameCadence::Step FrameCadence::atTick(dispatch::Duration now, bool changed) {
    if (changed || captureDue_) {
        captureDue_ = false;
        handedOn_ = true;
        last_ = now;
        return Step::capture;
    }
    if (handedOn_ && now - last_ >= kRepeatInterval) {
        last_ = now;
        return Step::repeat;
    }
    return Step::wait;
}

}  // namespace ostrovane::platform
