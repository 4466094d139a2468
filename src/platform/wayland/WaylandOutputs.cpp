#include "platform/wayland/WaylandOutputs.h"

#include <poll.h>
#include <wayland-client.h>

#include <cerrno>
#include <map>

#include "xdg-output-unstable-v1-client-protocol.h"

namespace ostrovane::platform::wayland {

namespace {

// The versions we speak: wl_output 4 names its outputs, xdg-output 3 drops
// its own done event in favour of wl_output's.
constexpr std::uint32_t kOutputVersion = 4;
constexpr std::uint32_t kXdgOutputVersion = 3;

struct OutputEntry {
    wl_output* output = nullptr;
    std::uint32_t version = 0;
    zxdg_output_v1* xdgOutput = nullptr;
    WaylandOutput info;
    bool logicalKnown = false;  // xdg-output has told its place and size
    std::int32_t geometryX = 0;
    std::int32_t geometryY = 0;

    ~OutputEntry() {
        if (xdgOutput != nullptr)
            zxdg_output_v1_destroy(xdgOutput);
        if (output != nullptr) {
            if (version >= WL_OUTPUT_RELEASE_SINCE_VERSION)
                wl_output_release(output);
            else
                wl_output_destroy(output);
        }
    }
};

}  // namespace

class WaylandOutputs::State {
  public:
    ~State() {
        outputs.clear();
        if (manager != nullptr)
            zxdg_output_manager_v1_destroy(manager);
        if (registry != nullptr)
            wl_registry_destroy(registry);
    }

    void watchXdg(OutputEntry& entry) {
        if (manager == nullptr || entry.xdgOutput != nullptr)
            return;
        entry.xdgOutput = zxdg_output_manager_v1_get_xdg_output(manager, entry.output);
        zxdg_output_v1_add_listener(entry.xdgOutput, &kXdgListener, &entry);
        bound = true;
    }

    static const wl_registry_listener kRegistryListener;
    static const wl_output_listener kOutputListener;
    static const zxdg_output_v1_listener kXdgListener;

    wl_registry* registry = nullptr;
    zxdg_output_manager_v1* manager = nullptr;
    // By global name; nodes stay put, so listeners may point into them.
    std::map<std::uint32_t, OutputEntry> outputs;
    std::vector<std::uint32_t> order;  // announcement order
    bool bound = false;                // a new object awaits its first events
};

namespace {

OutputEntry& entryOf(void* data) {
    return *static_cast<OutputEntry*>(data);
}

}  // namespace

const wl_output_listener WaylandOutputs::State::kOutputListener{
    .geometry =
        [](void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t,
           std::int32_t, const char*, const char*, std::int32_t) {
            entryOf(data).geometryX = x;
            entryOf(data).geometryY = y;
        },
    .mode =
        [](void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
           std::int32_t) {
            if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
                entryOf(data).info.pixelWidth = width;
                entryOf(data).info.pixelHeight = height;
            }
        },
    .done = [](void*, wl_output*) {},
    .scale = [](void* data, wl_output*,
                std::int32_t factor) { entryOf(data).info.scale = factor > 0 ? factor : 1; },
    .name = [](void* data, wl_output*, const char* name) { entryOf(data).info.name = name; },
    .description = [](void* data, wl_output*,
                      const char* text) { entryOf(data).info.description = text; },
};

const zxdg_output_v1_listener WaylandOutputs::State::kXdgListener{
    .logical_position =
        [](void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
            entryOf(data).info.x = x;
            entryOf(data).info.y = y;
            entryOf(data).logicalKnown = true;
        },
    .logical_size =
        [](void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
            entryOf(data).info.width = width;
            entryOf(data).info.height = height;
            entryOf(data).logicalKnown = true;
        },
    .done = [](void*, zxdg_output_v1*) {},
    // wl_output 4 names outputs too; xdg-output's names serve older compositors.
    .name =
        [](void* data, zxdg_output_v1*, const char* name) {
            if (entryOf(data).info.name.empty())
                entryOf(data).info.name = name;
        },
    .description =
        [](void* data, zxdg_output_v1*, const char* text) {
            if (entryOf(data).info.description.empty())
                entryOf(data).info.description = text;
        },
};

const wl_registry_listener WaylandOutputs::State::kRegistryListener{
    .global =
        [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
           std::uint32_t version) {
            auto& state = *static_cast<State*>(data);
            const std::string_view kind(interface);
            if (kind == wl_output_interface.name) {
                auto [it, added] = state.outputs.try_emplace(name);
                if (!added)
                    return;
                OutputEntry& entry = it->second;
                entry.version = std::min(version, kOutputVersion);
                entry.output = static_cast<wl_output*>(
                    wl_registry_bind(registry, name, &wl_output_interface, entry.version));
                entry.info.id = name;
                wl_output_add_listener(entry.output, &kOutputListener, &entry);
                state.order.push_back(name);
                state.bound = true;
                state.watchXdg(entry);
            } else if (kind == zxdg_output_manager_v1_interface.name && state.manager == nullptr) {
                state.manager = static_cast<zxdg_output_manager_v1*>(
                    wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface,
                                     std::min(version, kXdgOutputVersion)));
                for (auto& [id, entry] : state.outputs)
                    state.watchXdg(entry);
            }
        },
    .global_remove =
        [](void* data, wl_registry*, std::uint32_t name) {
            auto& state = *static_cast<State*>(data);
            state.outputs.erase(name);
            std::erase(state.order, name);
        },
};

std::vector<Monitor> monitorsOf(const std::vector<WaylandOutput>& outputs) {
    std::vector<Monitor> monitors;
    monitors.reserve(outputs.size());
    for (const WaylandOutput& o : outputs) {
        monitors.push_back(Monitor{o.id, o.name, o.x, o.y, static_cast<std::uint32_t>(o.width),
                                   static_cast<std::uint32_t>(o.height), false});
    }
    return monitors;
}

std::unique_ptr<WaylandOutputs> WaylandOutputs::connect(const std::string& displayName,
                                                        std::chrono::milliseconds timeout) {
    wl_display* display = wl_display_connect(displayName.empty() ? nullptr : displayName.c_str());
    if (display == nullptr)
        return nullptr;
    auto outputs = std::make_unique<WaylandOutputs>(Key{}, display, timeout);
    if (!outputs->read())
        return nullptr;
    return outputs;
}

WaylandOutputs::WaylandOutputs(Key, wl_display* display, std::chrono::milliseconds timeout)
    : display_(display), timeout_(timeout), state_(std::make_unique<State>()) {
    state_->registry = wl_display_get_registry(display_);
    wl_registry_add_listener(state_->registry, &State::kRegistryListener, state_.get());
}

WaylandOutputs::~WaylandOutputs() {
    state_.reset();  // proxies go before their display
    wl_display_disconnect(display_);
}

bool WaylandOutputs::alive() const {
    return !dead_ && wl_display_get_error(display_) == 0;
}

bool WaylandOutputs::roundtrip() {
    if (!alive())
        return false;
    bool done = false;
    static const wl_callback_listener kDone{
        .done = [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback* callback = wl_display_sync(display_);
    wl_callback_add_listener(callback, &kDone, &done);
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    const int fd = wl_display_get_fd(display_);
    bool failed = false;
    while (!done && !failed) {
        // The usual read protocol: announce the read, flush, wait, read or cancel.
        if (wl_display_prepare_read(display_) != 0) {
            failed = wl_display_dispatch_pending(display_) < 0;
            continue;
        }
        const int flushed = wl_display_flush(display_);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if ((flushed < 0 && errno != EAGAIN) || left.count() <= 0) {
            wl_display_cancel_read(display_);
            failed = true;
            break;
        }
        pollfd p{fd, static_cast<short>(POLLIN | (flushed < 0 ? POLLOUT : 0)), 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
        if (ready > 0 && (p.revents & POLLIN) != 0) {
            failed = wl_display_read_events(display_) < 0;
        } else {
            wl_display_cancel_read(display_);
            failed = ready == 0 || (ready < 0 && errno != EINTR) ||
                     (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        }
        if (!failed)
            failed = wl_display_dispatch_pending(display_) < 0;
    }
    wl_callback_destroy(callback);
    if (failed || wl_display_get_error(display_) != 0)
        dead_ = true;
    return !dead_;
}

std::optional<std::uint32_t> WaylandOutputs::idOf(const wl_output* output) const {
    for (const auto& [name, entry] : state_->outputs) {
        if (entry.output == output)
            return name;
    }
    return std::nullopt;
}

wl_output* WaylandOutputs::proxyOf(std::uint32_t id) const {
    auto it = state_->outputs.find(id);
    return it == state_->outputs.end() ? nullptr : it->second.output;
}

std::optional<std::vector<WaylandOutput>> WaylandOutputs::read() {
    // New globals are bound in the first round; their first events come in the next.
    state_->bound = false;
    if (!roundtrip())
        return std::nullopt;
    for (int round = 0; round < 3 && state_->bound; ++round) {
        state_->bound = false;
        if (!roundtrip())
            return std::nullopt;
    }
    std::vector<WaylandOutput> out;
    for (std::uint32_t name : state_->order) {
        const OutputEntry& entry = state_->outputs.at(name);
        WaylandOutput info = entry.info;
        if (!entry.logicalKnown) {
            // No xdg-output: the mode divided by the scale, at the output's place.
            info.x = entry.geometryX;
            info.y = entry.geometryY;
            info.width = info.pixelWidth / info.scale;
            info.height = info.pixelHeight / info.scale;
        }
        if (info.width <= 0 || info.height <= 0)
            continue;  // not described yet
        if (info.name.empty())
            info.name = "Output " + std::to_string(name);
        out.push_back(std::move(info));
    }
    return out;
}

}  // namespace ostrovane::platform::wayland
