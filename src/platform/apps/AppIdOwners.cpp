#include "platform/apps/AppIdOwners.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform {

AppIdOwners::AppIdOwners(std::optional<DesktopEntrySources> sources)
    : sources_(sources ? std::move(*sources) : DesktopEntrySources::fromEnvironment()) {}

std::optional<OwningApplication> AppIdOwners::owner(const std::string& appId) {
    util::MutexLock lock(mutex_);
    const bool fresh = !_entries;
    if (fresh)
        _entries = std::make_unique<const DesktopEntries>(DesktopEntries::load(sources_));
    const DesktopEntry* entry = _entries->byAppId(appId);
    if (!entry && _unmatched.insert(appId).second && !fresh) {
        _entries = std::make_unique<const DesktopEntries>(DesktopEntries::load(sources_));
        entry = _entries->byAppId(appId);
    }
    if (!entry)
        return std::nullopt;
    return OwningApplication{entry->name, entry->id, 0};
}

}  // namespace ostrovane::platform
