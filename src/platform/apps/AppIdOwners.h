#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/ScreenContent.h"
#include "platform/apps/DesktopEntries.h"
#include "util/ThreadAnnotations.h"

namespace ostrovane::platform {

// The desktop application of a Wayland app_id (DesktopEntries::byAppId has
// the rules): the entry's name and id. The compositor tells no process, so
// the pid is unknown (0).
//
// The entries are read on first use, and again when an app_id never seen
// before matches none (an application installed since); an app_id that
// still matches none does not cause another read. Any thread.
class AppIdOwners {
  public:
    // nullopt: the user's data directories and locale.
    explicit AppIdOwners(std::optional<DesktopEntrySources> sources = std::nullopt);

    std::optional<OwningApplication> owner(const std::string& appId);

  private:
    const DesktopEntrySources sources_;
    util::Mutex mutex_;
    std::unique_ptr<const DesktopEntries> _entries GUARDED_BY(mutex_);
    std::set<std::string> _unmatched GUARDED_BY(mutex_);
};

}  // namespace ostrovane::platform
