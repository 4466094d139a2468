#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Applications.h"

namespace ostrovane::platform {

// Reads of the process table under a /proc root (a fake tree in tests).
// Every read is of one small file or link; nothing is cached.
class ProcFs {
  public:
    explicit ProcFs(std::string root = "/proc") : root_(std::move(root)) {}

    std::optional<std::string> executable(Pid pid) const;  // the `exe` link
    std::optional<Pid> parent(Pid pid) const;              // from `stat`
    std::optional<std::string> name(Pid pid) const;        // `comm`, readable for any user
    std::optional<std::string> cgroup(Pid pid) const;      // the `cgroup` file
    std::vector<Pid> pids() const;

  private:
    std::string dir(Pid pid) const { return root_ + "/" + std::to_string(pid); }
    const std::string root_;
};

// The desktop ids a cgroup names, innermost unit first, each with and
// without its launcher part (a known entry picks):
//  - sandbox: Flatpak's "app-flatpak-<app id>-<n>.scope" and snapd's
//    "snap.<snap>.<app>-<uuid>.scope" or "snap.<snap>.<app>.service" (as
//    "<snap>_<app>", then "<snap>_" for any entry of that snap);
//  - launcher: systemd application units ("app-<launcher>-<desktop
//    id>-<n>.scope", "app-<launcher>-<desktop id>@<n>.service", the id
//    escaped as systemd escapes unit names), which a terminal or the desktop
//    shell also gives the programs it starts.
struct CgroupDesktopIds {
    std::vector<std::string> sandbox;
    std::vector<std::string> launcher;
};
CgroupDesktopIds desktopIdsFromCgroup(const std::string& cgroupText);

}  // namespace ostrovane::platform
