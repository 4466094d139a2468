#pragma once

#include "dispatch/Clock.h"

namespace ostrovane::platform {

// When a screen stream hands on a picture, whatever tells it that the
// picture changed (damage events, a compositor's new buffer):
//  - a new picture only when the picture changed;
//  - the first one at the first tick after a start or a switch, whether
//    anything changed or not;
//  - while nothing changes, the last picture again once a second, so that a
//    parent sees the stream alive.
// The stream asks at every tick of its frame interval. Pure and for one
// thread: the stream's capturing thread.
class FrameCadence {
  public:
    static constexpr dispatch::Duration kRepeatInterval = std::chrono::seconds(1);

    enum class Step {
        wait,     // nothing to hand on at this tick
        capture,  // take the new picture and hand it on
        repeat,   // hand the last picture on again, stamped with this tick's time
    };

    // The next tick captures (a start, a switch, a target resized).
    void restart() { captureDue_ = true; }

    // What to do at the tick at `now`; `changed`: the picture changed since
    // the last capture.
    Step atTick(dispatch::Duration now, bool changed);

    // The capture of this tick gave no picture (nothing to show, every frame
    // still held by receivers): the next tick captures again, and no repeat
    // is owed for the time being.
    void missed() { captureDue_ = true; }

  private:
    bool captureDue_ = true;
    bool handedOn_ = false;
    dispatch::Duration last_{};
};

}  // namespace ostrovane::platform
