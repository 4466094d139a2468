#include "platform/wayland/DisplayStill.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/pipewire/PipeWireVideoStream.h"
#include "platform/portal/PortalScreenCast.h"
#include "platform/wayland/WaylandErrors.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform::wayland {

namespace {
// What the PipeWire and portal threads tell the waiting caller; shared, as
// a late callback may still run while the stream goes.
struct FirstImage {
    util::Mutex mutex;
    std::condition_variable changed;
    bool _arrived GUARDED_BY(mutex) = false;
    std::optional<Error> _failure GUARDED_BY(mutex);

    void arrive() {
        util::MutexLock lock(mutex);
        _arrived = true;
        changed.notify_all();
    }
    void fail(const Error& error) {
        util::MutexLock lock(mutex);
        if (!_failure)
            _failure = error;
        changed.notify_all();
    }
};
}  // namespace

Result<Image> DisplayStill::take(const WaylandOutput& output, bool showCursor,
                                 PortalGrants::Consent consent) const {
    auto state = std::make_shared<FirstImage>();
    auto session = grants.request(
        GrantTarget::display(output), showCursor,
        [state](const Error& error) { state->fail(error); }, consent);
    if (!session)
        return session.error();
    pipewire::PipeWireVideoStream::Options options;
    options.remoteFd = session.value()->pipeWireFd();
    options.nodeId = session.value()->stream().nodeId;
    options.timeout = timeout;
    options.drawCursor =
        showCursor && session.value()->cursorMode() == portal::CursorMode::metadata;
    options.onFailure = [state](const Error& error) { state->fail(error); };
    options.onFrame = [state] { state->arrive(); };
    auto video = pipewire::PipeWireVideoStream::connect(std::move(options));
    if (!video)
        return video.error();

    // A cast that has an image sends it at once; one of a still display
    // where the compositor copies displays is not waited for long.
    constexpr std::chrono::milliseconds kCastHead{250};
    util::MutexLock lock(state->mutex);
    lock.waitFor(
        state->changed, copy ? std::min(firstImageLimit, kCastHead) : firstImageLimit,
        [&]() REQUIRES(state->mutex) { return state->_arrived || state->_failure.has_value(); });
    if (state->_failure)
        return *state->_failure;
    lock.unlock();
    Image image;
    if (!video.value()->takeLatest(image) && copy) {
        if (auto copied = copy(output, showCursor))
            return copied;
    }
    if (image.empty()) {
        return waylandError(kNoNewImageCode, "Display " + output.name + " sent no image within " +
                                                 std::to_string(firstImageLimit.count()) + " ms");
    }
    return image;
}

}  // namespace ostrovane::platform::wayland
