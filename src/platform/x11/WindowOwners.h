#pragma once

#include <optional>
#include <string>

#include "platform/ScreenContent.h"

namespace ostrovane::platform::x11 {

// What a window says about the program that made it.
struct WindowClaims {
    std::optional<Pid> pid;    // _NET_WM_PID
    std::string instanceName;  // WM_CLASS, first string
    std::string className;     // WM_CLASS, second string
};

// Resolves a window's claims to the application a user would name. This is
// where desktop-entry resolution plugs in (the same one the microphone
// application detector uses); the window listing only depends on this seam.
class WindowOwners {
  public:
    virtual ~WindowOwners() = default;
    // Nothing when the window names no process.
    virtual std::optional<OwningApplication> owner(const WindowClaims& claims) = 0;
};

// The stand-in until desktop entries are read: the WM_CLASS class name, else
// the process name from /proc/<pid>/comm. No bundle identifier yet.
class ProcessWindowOwners final : public WindowOwners {
  public:
    explicit ProcessWindowOwners(std::string procRoot = "/proc") : procRoot_(std::move(procRoot)) {}
    std::optional<OwningApplication> owner(const WindowClaims& claims) override;

  private:
    std::string procRoot_;
};

}  // namespace ostrovane::platform::x11
