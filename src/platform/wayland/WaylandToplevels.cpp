#include "platform/wayland/WaylandToplevels.h"

#include <wayland-client.h>

#include <algorithm>
#include <map>
#include <string_view>

#include "ext-foreign-toplevel-list-v1-client-protocol.h"
#include "platform/wayland/WaylandOutputs.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

namespace ostrovane::platform::wayland {

namespace {

// wlr 3 adds the parent event, which we ignore; ext has one version.
constexpr std::uint32_t kWlrVersion = 3;
constexpr std::uint32_t kExtVersion = 1;

struct Offer {
    std::uint32_t name = 0;  // 0: not offered
    std::uint32_t version = 0;
};

// One toplevel handle. Events change `pending`; done makes it current, so a
// listing never sees half of an update.
struct Handle {
    const WaylandOutputs* outputs = nullptr;
    zwlr_foreign_toplevel_handle_v1* wlr = nullptr;
    ext_foreign_toplevel_handle_v1* ext = nullptr;
    WaylandToplevel pending;
    WaylandToplevel current;
    bool described = false;  // a done has come
    bool closed = false;

    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (wlr != nullptr)
            zwlr_foreign_toplevel_handle_v1_destroy(wlr);
        if (ext != nullptr)
            ext_foreign_toplevel_handle_v1_destroy(ext);
    }
};

Handle& handleOf(void* data) {
    return *static_cast<Handle*>(data);
}

std::string text(const char* value) {
    return value != nullptr ? value : "";
}

}  // namespace

class WaylandToplevels::State {
  public:
    explicit State(const WaylandOutputs& outputs) : outputs_(outputs) {}

    ~State() {
        handles.clear();  // handles go before their manager
        if (wlrManager != nullptr) {
            zwlr_foreign_toplevel_manager_v1_stop(wlrManager);
            zwlr_foreign_toplevel_manager_v1_destroy(wlrManager);
        }
        if (extList != nullptr) {
            ext_foreign_toplevel_list_v1_stop(extList);
            ext_foreign_toplevel_list_v1_destroy(extList);
        }
        if (registry != nullptr)
            wl_registry_destroy(registry);
    }

    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // Binds the list of toplevels the compositor offers (ext first); whether
    // it bound one now.
    bool bind() {
        if (bound_)
            return false;
        if (ext.name != 0) {
            extList = static_cast<ext_foreign_toplevel_list_v1*>(
                wl_registry_bind(registry, ext.name, &ext_foreign_toplevel_list_v1_interface,
                                 std::min(ext.version, kExtVersion)));
            ext_foreign_toplevel_list_v1_add_listener(extList, &kExtListListener, this);
        } else if (wlr.name != 0) {
            wlrManager = static_cast<zwlr_foreign_toplevel_manager_v1*>(
                wl_registry_bind(registry, wlr.name, &zwlr_foreign_toplevel_manager_v1_interface,
                                 std::min(wlr.version, kWlrVersion)));
            zwlr_foreign_toplevel_manager_v1_add_listener(wlrManager, &kWlrManagerListener, this);
        } else {
            return false;
        }
        bound_ = true;
        return true;
    }

    Handle& add() {
        const WindowId id = nextId_++;
        Handle& handle = handles[id];
        handle.outputs = &outputs_;
        handle.pending.id = id;
        return handle;
    }

    static const wl_registry_listener kRegistryListener;
    static const zwlr_foreign_toplevel_manager_v1_listener kWlrManagerListener;
    static const zwlr_foreign_toplevel_handle_v1_listener kWlrHandleListener;
    static const ext_foreign_toplevel_list_v1_listener kExtListListener;
    static const ext_foreign_toplevel_handle_v1_listener kExtHandleListener;

    wl_registry* registry = nullptr;
    Offer ext;
    Offer wlr;
    zwlr_foreign_toplevel_manager_v1* wlrManager = nullptr;
    ext_foreign_toplevel_list_v1* extList = nullptr;
    // By id, oldest first; nodes stay put, so listeners may point into them.
    std::map<WindowId, Handle> handles;

  private:
    const WaylandOutputs& outputs_;
    bool bound_ = false;  // once: a compositor that finishes its list has no more
    // The provider keeps one reader while the helper runs, so its ids are
    // never reused; 2^32 - 0x10000 toplevels are out of reach.
    WindowId nextId_ = 0x10000;
};

const wl_registry_listener WaylandToplevels::State::kRegistryListener{
    .global =
        [](void* data, wl_registry*, std::uint32_t name, const char* interface,
           std::uint32_t version) {
            auto& state = *static_cast<State*>(data);
            const std::string_view kind(interface);
            // Bound after the round that announced both, so that ext wins
            // whatever the order of the announcements.
            if (kind == ext_foreign_toplevel_list_v1_interface.name)
                state.ext = {name, version};
            else if (kind == zwlr_foreign_toplevel_manager_v1_interface.name)
                state.wlr = {name, version};
        },
    .global_remove = [](void*, wl_registry*, std::uint32_t) {},
};

const zwlr_foreign_toplevel_handle_v1_listener WaylandToplevels::State::kWlrHandleListener{
    .title = [](void* data, zwlr_foreign_toplevel_handle_v1*,
                const char* title) { handleOf(data).pending.title = text(title); },
    .app_id = [](void* data, zwlr_foreign_toplevel_handle_v1*,
                 const char* appId) { handleOf(data).pending.appId = text(appId); },
    .output_enter =
        [](void* data, zwlr_foreign_toplevel_handle_v1*, wl_output* output) {
            Handle& handle = handleOf(data);
            auto& outputs = handle.pending.outputs;
            if (const auto id = handle.outputs->idOf(output);
                id && std::find(outputs.begin(), outputs.end(), *id) == outputs.end())
                outputs.push_back(*id);
        },
    .output_leave =
        [](void* data, zwlr_foreign_toplevel_handle_v1*, wl_output* output) {
            Handle& handle = handleOf(data);
            if (const auto id = handle.outputs->idOf(output))
                std::erase(handle.pending.outputs, *id);
        },
    .state =
        [](void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
            const auto* first = static_cast<const std::uint32_t*>(states->data);
            const auto* last = first + states->size / sizeof(std::uint32_t);
            handleOf(data).pending.minimized =
                std::find(first, last, ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_MINIMIZED) != last;
        },
    .done =
        [](void* data, zwlr_foreign_toplevel_handle_v1*) {
            handleOf(data).current = handleOf(data).pending;
            handleOf(data).described = true;
        },
    .closed = [](void* data, zwlr_foreign_toplevel_handle_v1*) { handleOf(data).closed = true; },
    .parent = [](void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {},
};

const zwlr_foreign_toplevel_manager_v1_listener WaylandToplevels::State::kWlrManagerListener{
    .toplevel =
        [](void* data, zwlr_foreign_toplevel_manager_v1*,
           zwlr_foreign_toplevel_handle_v1* toplevel) {
            Handle& handle = static_cast<State*>(data)->add();
            handle.wlr = toplevel;
            zwlr_foreign_toplevel_handle_v1_add_listener(toplevel, &kWlrHandleListener, &handle);
        },
    // The compositor has destroyed the manager: only our proxy is left.
    .finished =
        [](void* data, zwlr_foreign_toplevel_manager_v1* manager) {
            zwlr_foreign_toplevel_manager_v1_destroy(manager);
            static_cast<State*>(data)->wlrManager = nullptr;
        },
};

const ext_foreign_toplevel_handle_v1_listener WaylandToplevels::State::kExtHandleListener{
    .closed = [](void* data, ext_foreign_toplevel_handle_v1*) { handleOf(data).closed = true; },
    .done =
        [](void* data, ext_foreign_toplevel_handle_v1*) {
            handleOf(data).current = handleOf(data).pending;
            handleOf(data).described = true;
        },
    .title = [](void* data, ext_foreign_toplevel_handle_v1*,
                const char* title) { handleOf(data).pending.title = text(title); },
    .app_id = [](void* data, ext_foreign_toplevel_handle_v1*,
                 const char* appId) { handleOf(data).pending.appId = text(appId); },
    .identifier =
        [](void* data, ext_foreign_toplevel_handle_v1*, const char* identifier) {
            handleOf(data).pending.identifier = text(identifier);
        },
};

const ext_foreign_toplevel_list_v1_listener WaylandToplevels::State::kExtListListener{
    .toplevel =
        [](void* data, ext_foreign_toplevel_list_v1*, ext_foreign_toplevel_handle_v1* toplevel) {
            Handle& handle = static_cast<State*>(data)->add();
            handle.ext = toplevel;
            ext_foreign_toplevel_handle_v1_add_listener(toplevel, &kExtHandleListener, &handle);
        },
    .finished =
        [](void* data, ext_foreign_toplevel_list_v1* list) {
            ext_foreign_toplevel_list_v1_destroy(list);
            static_cast<State*>(data)->extList = nullptr;
        },
};

WaylandToplevels::WaylandToplevels(WaylandOutputs& outputs)
    : outputs_(outputs), state_(std::make_unique<State>(outputs)) {
    state_->registry = wl_display_get_registry(outputs_.display());
    wl_registry_add_listener(state_->registry, &State::kRegistryListener, state_.get());
}

WaylandToplevels::~WaylandToplevels() = default;

bool WaylandToplevels::listsWindows() const {
    return state_->ext.name != 0 || state_->wlr.name != 0;
}

std::optional<std::vector<WaylandToplevel>> WaylandToplevels::read() {
    if (!outputs_.roundtrip())
        return std::nullopt;
    // The list is bound in the round after the announcements; the
    // toplevels it has, each with its details, come in the next one.
    if (state_->bind() && !outputs_.roundtrip())
        return std::nullopt;
    std::vector<WaylandToplevel> out;
    for (auto it = state_->handles.begin(); it != state_->handles.end();) {
        if (it->second.closed) {
            it = state_->handles.erase(it);
            continue;
        }
        if (it->second.described)
            out.push_back(it->second.current);
        ++it;
    }
    return out;
}

}  // namespace ostrovane::platform::wayland
