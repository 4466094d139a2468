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

// The desktop application a cgroup line names: a systemd application scope
// or service ("app-<launcher>-<desktop id>-<n>.scope",
// "app-<launcher>-<desktop id>@<n>.service", the id escaped as systemd
// escapes unit names), a Flatpak one ("app-flatpak-<app id>-<n>.scope"), or
// a Snap one ("snap.<snap>.<app>.<uuid>.scope", given as "snap:<snap>.<app>").
// Each candidate comes with and without the launcher part; `isKnown` picks.
std::vector<std::string> desktopIdCandidatesFromCgroup(const std::string& cgroupText);

}  // namespace ostrovane::platform
