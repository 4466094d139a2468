#include "platform/apps/ApplicationResolver.h"

namespace ostrovane::platform {

const DesktopEntry* ApplicationResolver::byIds(const std::vector<std::string>& ids) const {
    for (const auto& id : ids) {
        const DesktopEntry* entry =
            id.ends_with('_') ? entries_.firstWithPrefix(id) : entries_.byId(id);
        if (entry)
            return entry;
    }
    return nullptr;
}

const DesktopEntry* ApplicationResolver::resolveOwn(Pid pid) const {
    const auto cgroup = proc_.cgroup(pid);
    const auto ids = cgroup ? desktopIdsFromCgroup(*cgroup) : CgroupDesktopIds{};
    if (const auto* entry = byIds(ids.sandbox))
        return entry;
    if (const auto exe = proc_.executable(pid)) {
        if (const auto* entry = entries_.byExecutable(*exe))
            return entry;
    }
    // A terminal or the shell puts what it starts in its own unit.
    const auto* launcher = byIds(ids.launcher);
    return launcher && !launcher->startsOthers ? launcher : nullptr;
}

const DesktopEntry* ApplicationResolver::resolve(Pid pid) const {
    if (const auto* entry = resolveOwn(pid))
        return entry;
    const auto cgroup = proc_.cgroup(pid);
    Pid current = pid;
    for (int depth = 0; depth < maxAncestors; ++depth) {
        const auto parent = proc_.parent(current);
        if (!parent || *parent <= 1 || *parent == current || proc_.cgroup(*parent) != cgroup)
            return nullptr;
        current = *parent;
        if (const auto* entry = resolveOwn(current))
            return entry->startsOthers ? nullptr : entry;
    }
    return nullptr;
}

}  // namespace ostrovane::platform
