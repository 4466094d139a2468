#include "video/KeyframeCadence.h"

namespace ostrovane::video {

bool KeyframeCadence::isDue(const platform::MediaTime& time) const {
    if (!lastKeyframe_ || sinceKeyframe_ >= frames_)
        return true;
    if (!time.isValid() || !lastKeyframe_->isValid())
        return false;
    // Exact for any pair of timescales: a repeat exactly 2 s on is due.
    const platform::MediaTime& last = *lastKeyframe_;
    const __int128 elapsed = static_cast<__int128>(time.value) * last.timescale -
                             static_cast<__int128>(last.value) * time.timescale;
    return elapsed >= static_cast<__int128>(kMaxSeconds) * time.timescale * last.timescale;
}

void KeyframeCadence::submitted(const platform::MediaTime& time, bool keyframe) {
    if (keyframe) {
        lastKeyframe_ = time;
        sinceKeyframe_ = 1;
    } else {
        ++sinceKeyframe_;
    }
}

}  // namespace ostrovane::video
