#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/Applications.h"
#include "platform/linux/DesktopEntries.h"
#include "platform/linux/ProcFs.h"

namespace ostrovane::platform {

// pid → the desktop application it belongs to, first rule that answers:
//  1. the systemd, Flatpak or Snap unit of its cgroup names a desktop id;
//  2. its executable is an entry's Exec or TryExec program;
//  3. its executable lies in an entry's install directory (the outermost
//     one wins: helpers of a browser or an Electron app);
//  4. the nearest ancestor process that rules 1 to 3 resolve.
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
    const DesktopEntry* byCgroup(Pid pid) const;

    const ProcFs& proc_;
    const DesktopEntries& entries_;
};

}  // namespace ostrovane::platform
