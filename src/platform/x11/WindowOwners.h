#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Applications.h"
#include "platform/ScreenContent.h"
#include "util/ThreadAnnotations.h"

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

// For processes that belong to no installed application: the WM_CLASS class
// name, else the process name from /proc/<pid>/comm, without a bundle
// identifier.
class ProcessWindowOwners final : public WindowOwners {
  public:
    explicit ProcessWindowOwners(std::string procRoot = "/proc") : procRoot_(std::move(procRoot)) {}
    std::optional<OwningApplication> owner(const WindowClaims& claims) override;

  private:
    std::string procRoot_;
};

// Names a window after the desktop application its process belongs to (the
// resolution the microphone application detector uses too): the entry's name
// and id. Processes of no installed application, and every window until the
// applications are bound, get the WM_CLASS / process-name answer.
class ApplicationWindowOwners final : public WindowOwners {
  public:
    // The applications service is made after the screens, so it is bound
    // later; listings from any thread may run meanwhile.
    void resolveWith(std::shared_ptr<Applications> applications);
    std::optional<OwningApplication> owner(const WindowClaims& claims) override;

  private:
    ProcessWindowOwners fallback_;
    util::Mutex mutex_;
    std::shared_ptr<Applications> _applications GUARDED_BY(mutex_);
};

}  // namespace ostrovane::platform::x11
