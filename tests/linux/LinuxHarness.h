#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "contract/ProviderHarness.h"
#include "dispatch/SystemClock.h"
#include "platform/apps/LinuxApplications.h"
#include "platform/linux/LinuxPlatform.h"
#include "servers/PrivatePulseServer.h"
#include "servers/PrivateSystemBus.h"

namespace ostrovane::test {

// The Linux provider under the contract suites, against a private PulseAudio
// and a private bus standing in for the system bus, in real time. A server
// that cannot be started fails the test: CI installs them, so their absence
// is a fault, not a reason to skip.
class LinuxHarness final : public contract::ProviderHarness {
  public:
    LinuxHarness() {
        if (!server.ready())
            ADD_FAILURE() << "private PulseAudio did not start: " << server.failure();
        if (!bus.ready())
            ADD_FAILURE() << "private bus did not start: " << bus.failure();
        platform::LinuxPlatformOptions options;
        options.pulseServer = server.server();
        options.systemBus = bus.address();
        platform_ = platform::makeLinuxPlatform(systemClock, options);
    }

    platform::Platform platform() override { return platform_; }
    dispatch::Clock& clock() override { return systemClock; }
    void pass(double seconds) override {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }

    std::optional<std::string> addDefaultMicrophone(const std::string& name) override {
        const std::string uid = "contract_mic_" + std::to_string(++devices_);
        if (!server.addSineSource(uid, name) || !server.pactl({"set-default-source", uid}))
            return std::nullopt;
        return uid;
    }
    std::optional<platform::ChildProcessSpec> childThatPrints(const std::string& text,
                                                              int status) override {
        return platform::ChildProcessSpec{
            "/bin/sh", {"-c", "printf %s \"$0\"; exit " + std::to_string(status), text}};
    }
    std::optional<platform::ChildProcessSpec> childThatWaits() override {
        return platform::ChildProcessSpec{"/bin/sleep", {"600"}};
    }
    platform::ChildProcessSpec missingExecutable() override { return {"/nonexistent", {}}; }
    // logind announces the wake, once the platform follows it.
    bool postWake() override {
        auto apps = std::dynamic_pointer_cast<platform::LinuxApplications>(platform_.applications);
        if (!apps || !waitUntil([&] { return apps->followingWake(); }, 5)) {
            ADD_FAILURE() << "the platform does not follow logind on the private bus";
            return false;
        }
        if (!logind_) {
            logind_ = std::make_unique<BusClient>(bus.address());
            if (!logind_->own("org.freedesktop.login1"))
                return false;
        }
        return logind_->emitPrepareForSleep(false);
    }

    // Declared first: destroyed last, after the platform's queues.
    dispatch::SystemClock systemClock;
    PrivatePulseServer server;
    PrivateSystemBus bus;

  private:
    platform::Platform platform_;
    std::unique_ptr<BusClient> logind_;
    int devices_ = 0;
};

inline contract::Provider linuxProvider() {
    return {"Linux", [] { return std::make_unique<LinuxHarness>(); }};
}

}  // namespace ostrovane::test
