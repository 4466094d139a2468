#include "platform/linux/ApplicationResolver.h"

namespace ostrovane::platform {

const DesktopEntry* ApplicationResolver::byCgroup(Pid pid) const {
    const auto cgroup = proc_.cgroup(pid);
    if (!cgroup)
        return nullptr;
    for (const auto& id : desktopIdCandidatesFromCgroup(*cgroup)) {
        const DesktopEntry* entry =
            id.ends_with('_') ? entries_.firstWithPrefix(id) : entries_.byId(id);
        if (entry)
            return entry;
    }
    return nullptr;
}

const DesktopEntry* ApplicationResolver::resolveOwn(Pid pid) const {
    if (const auto* entry = byCgroup(pid))
        return entry;
    const auto exe = proc_.executable(pid);
    if (!exe)
        return nullptr;
    if (const auto* entry = entries_.byExecutable(*exe))
        return entry;
    return entries_.outermostContaining(*exe);
}

const DesktopEntry* ApplicationResolver::resolve(Pid pid) const {
    Pid current = pid;
    for (int depth = 0; depth <= maxAncestors && current > 1; ++depth) {
        if (const auto* entry = resolveOwn(current))
            return entry;
        const auto parent = proc_.parent(current);
        if (!parent || *parent == current)
            return nullptr;
        current = *parent;
    }
    return nullptr;
}

}  // namespace ostrovane::platform
