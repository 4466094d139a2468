#pragma once

#include "platform/Applications.h"
#include "platform/apps/DesktopEntries.h"
#include "platform/processes/ProcFs.h"

namespace ostrovane::platform {

// pid → the desktop application it belongs to, first rule that answers:
//  1. its cgroup is a Flatpak or Snap sandbox of a known entry;
//  2. its own executable matches an entry (DesktopEntries::byExecutable);
//  3. its cgroup is a systemd application unit of an entry that does not
//     start others (not a terminal or a NoDisplay shell);
//  4. the nearest ancestor in the same cgroup that rules 1 to 3 resolve,
//     unless that is a terminal or a shell: the walk ends there.
// Reads a handful of files of the process and its ancestors; never the
// whole table.
class ApplicationResolver {
  public:
    static constexpr int maxAncestors = 32;

    ApplicationResolver(const ProcFs& proc, const DesktopEntries& entries)
        : proc_(proc), entries_(entries) {}

    // Rules 1 to 4.
    const DesktopEntry* resolve(Pid pid) const;
    // Rules 1 to 3 only: the process itself.
    const DesktopEntry* resolveOwn(Pid pid) const;

  private:
    const DesktopEntry* byIds(const std::vector<std::string>& ids) const;

    const ProcFs& proc_;
    const DesktopEntries& entries_;
};

}  // namespace ostrovane::platform
