#include "platform/wayland/OutputCopy.h"

#include <sys/mman.h>
#include <wayland-client.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <thread>

#include "platform/wayland/WaylandErrors.h"
#include "platform/wayland/WaylandOutputs.h"
#include "util/UniqueFd.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace ostrovane::platform::wayland {

namespace {
// Formats in the byte order of wl_shm: B G R A, or R G B A.
bool bgra(std::uint32_t format) {
    return format == WL_SHM_FORMAT_ARGB8888 || format == WL_SHM_FORMAT_XRGB8888;
}
bool rgba(std::uint32_t format) {
    return format == WL_SHM_FORMAT_ABGR8888 || format == WL_SHM_FORMAT_XBGR8888;
}

// What the compositor says about one copy.
struct Frame {
    std::uint32_t format = 0, width = 0, height = 0, stride = 0;
    bool shm = false;  // a buffer in a format we read was offered
    bool described = false;
    bool yInverted = false;
    bool ready = false;
    bool failed = false;
};

const zwlr_screencopy_frame_v1_listener kFrameListener{
    .buffer =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width,
           std::uint32_t height, std::uint32_t stride) {
            auto& frame = *static_cast<Frame*>(data);
            if (!frame.shm && (bgra(format) || rgba(format))) {
                frame = Frame{format, width, height, stride, true};
            }
        },
    .flags =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
            static_cast<Frame*>(data)->yInverted =
                (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
        },
    .ready = [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                std::uint32_t) { static_cast<Frame*>(data)->ready = true; },
    .failed = [](void* data,
                 zwlr_screencopy_frame_v1*) { static_cast<Frame*>(data)->failed = true; },
    .damage = [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t,
                 std::uint32_t) {},
    .linux_dmabuf = [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                       std::uint32_t) {},
    .buffer_done = [](void* data,
                      zwlr_screencopy_frame_v1*) { static_cast<Frame*>(data)->described = true; },
};

// The shared memory a copy lands in.
struct Mapping {
    void* address = MAP_FAILED;
    std::size_t size = 0;
    ~Mapping() {
        if (address != MAP_FAILED)
            munmap(address, size);
    }
};

Error copyFailed(const std::string& why) {
    return waylandError(kNoNewImageCode, "The compositor copied no image of the display: " + why);
}
}  // namespace

class OutputCopy::State {
  public:
    static const wl_registry_listener kRegistryListener;

    ~State() {
        if (manager)
            zwlr_screencopy_manager_v1_destroy(manager);
        if (shm)
            wl_shm_destroy(shm);
        if (registry)
            wl_registry_destroy(registry);
    }

    wl_registry* registry = nullptr;
    zwlr_screencopy_manager_v1* manager = nullptr;
    wl_shm* shm = nullptr;
    bool announced = false;  // a roundtrip has passed since the registry was asked
};

const wl_registry_listener OutputCopy::State::kRegistryListener{
    .global =
        [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
           std::uint32_t version) {
            auto& state = *static_cast<State*>(data);
            const std::string_view kind(interface);
            if (kind == zwlr_screencopy_manager_v1_interface.name && !state.manager) {
                state.manager = static_cast<zwlr_screencopy_manager_v1*>(wl_registry_bind(
                    registry, name, &zwlr_screencopy_manager_v1_interface, std::min(version, 3u)));
            } else if (kind == wl_shm_interface.name && !state.shm) {
                state.shm =
                    static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
            }
        },
    .global_remove = [](void*, wl_registry*, std::uint32_t) {},
};

OutputCopy::OutputCopy(WaylandOutputs& outputs)
    : outputs_(outputs), state_(std::make_unique<State>()) {
    state_->registry = wl_display_get_registry(outputs_.display());
    wl_registry_add_listener(state_->registry, &State::kRegistryListener, state_.get());
}

OutputCopy::~OutputCopy() = default;

bool OutputCopy::offered() {
    if (!state_->announced)
        state_->announced = outputs_.roundtrip();
    return state_->manager && state_->shm;
}

Result<Image> OutputCopy::copy(std::uint32_t outputId, bool showCursor,
                               std::chrono::milliseconds limit) {
    if (!offered())
        return copyFailed("the compositor offers no screen copy");
    wl_output* output = outputs_.proxyOf(outputId);
    if (!output)
        return targetUnavailableError();
    Frame frame;
    std::unique_ptr<zwlr_screencopy_frame_v1, void (*)(zwlr_screencopy_frame_v1*)> handle(
        zwlr_screencopy_manager_v1_capture_output(state_->manager, showCursor ? 1 : 0, output),
        zwlr_screencopy_frame_v1_destroy);
    zwlr_screencopy_frame_v1_add_listener(handle.get(), &kFrameListener, &frame);
    // Before version 3 the buffer event comes alone, within one round.
    const bool announcesAll = zwlr_screencopy_manager_v1_get_version(state_->manager) >= 3;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const auto waitFor = [&](const bool& done) {
        while (!done && !frame.failed) {
            if (!outputs_.roundtrip() || std::chrono::steady_clock::now() >= deadline)
                return false;
            if (!done && !frame.failed)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return done;
    };
    if (announcesAll ? !waitFor(frame.described) : !outputs_.roundtrip())
        return copyFailed("no buffer was described");
    if (!frame.shm || frame.width == 0 || frame.height == 0 || frame.stride < frame.width * 4)
        return copyFailed("no buffer in shared memory of a known format");

    const std::size_t size = std::size_t{frame.stride} * frame.height;
    UniqueFd memory(memfd_create("ostrovane-output-copy", MFD_CLOEXEC));
    if (!memory || ftruncate(memory.get(), static_cast<off_t>(size)) < 0)
        return copyFailed(std::string("no shared memory: ") + std::strerror(errno));
    Mapping mapping{mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, memory.get(), 0), size};
    if (mapping.address == MAP_FAILED)
        return copyFailed(std::string("no shared memory: ") + std::strerror(errno));
    wl_shm_pool* pool = wl_shm_create_pool(state_->shm, memory.get(), static_cast<int>(size));
    std::unique_ptr<wl_buffer, void (*)(wl_buffer*)> buffer(
        wl_shm_pool_create_buffer(pool, 0, static_cast<int>(frame.width),
                                  static_cast<int>(frame.height), static_cast<int>(frame.stride),
                                  frame.format),
        wl_buffer_destroy);
    wl_shm_pool_destroy(pool);
    zwlr_screencopy_frame_v1_copy(handle.get(), buffer.get());
    if (!waitFor(frame.ready))
        return copyFailed(frame.failed ? "the copy failed" : "the copy took too long");

    Image image(frame.width, frame.height);
    const auto* pixels = static_cast<const std::uint8_t*>(mapping.address);
    for (std::uint32_t y = 0; y < frame.height; ++y) {
        const std::uint32_t from = frame.yInverted ? frame.height - 1 - y : y;
        const std::uint8_t* in = pixels + std::size_t{from} * frame.stride;
        std::uint8_t* out = image.row(y);
        for (std::uint32_t x = 0; x < frame.width; ++x, in += 4, out += 4) {
            out[0] = rgba(frame.format) ? in[2] : in[0];
            out[1] = in[1];
            out[2] = rgba(frame.format) ? in[0] : in[2];
            out[3] = 255;  // screens are opaque, whatever the X channel holds
        }
    }
    return image;
}

}  // namespace ostrovane::platform::wayland
