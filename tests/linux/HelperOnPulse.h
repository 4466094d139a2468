#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "linux/HelperFrames.h"
#include "servers/PrivatePulseServer.h"
#include "support/HelperProcess.h"
#include "support/PrivateXServer.h"

namespace ostrovane::test {

// The helper binary against a private sound server (and, with `withDisplay`,
// a private X server), read as a parent reads it: frames and text lines.
class HelperOnPulse : public ::testing::Test {
  protected:
    explicit HelperOnPulse(bool withDisplay = false) {
        if (withDisplay)
            x = std::make_unique<PrivateXServer>();
    }

    void SetUp() override {
        ASSERT_TRUE(pulse.ready()) << pulse.failure();
        ::setenv("PULSE_SERVER", pulse.server().c_str(), 1);
        if (x) {
            ASSERT_TRUE(x->ready()) << "Xvfb could not be started";
            ::setenv("DISPLAY", x->name().c_str(), 1);
        }
    }
    void TearDown() override { stopHelper(); }

    void startHelper() {
        helper = std::make_unique<HelperProcess>(OSTROVANE_BINARY);
        frames = std::make_unique<HelperFrames>(*helper);
    }
    void startStreaming() {
        startHelper();
        helper->sendLine("START_STREAMING");
        ASSERT_TRUE(helper->errors().waitForLine("CMD_RESPONSE:STREAMING:started"));
    }
    // STOP, answered by a clean exit.
    void stopHelper() {
        if (!helper)
            return;
        frames.reset();
        helper->sendLine("STOP");
        EXPECT_EQ(helper->waitForExit(), 0);
        helper.reset();
    }

    // The rest of the first line after `command` that starts with `prefix`.
    std::string reply(const std::string& command, const std::string& prefix,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const std::size_t from = helper->errors().lines().size();
        helper->sendLine(command);
        const auto at = helper->errors().waitForLineMatching(
            [&](const std::string& l) { return l.starts_with(prefix); }, from, limit);
        return at ? helper->errors().lines()[*at].substr(prefix.size()) : "";
    }
    std::vector<std::string> lines() { return helper->errors().lines(); }
    // Lines from the `from`th on that contain `part`.
    std::size_t linesWith(const std::string& part, std::size_t from = 0) {
        const auto all = lines();
        return std::count_if(all.begin() + static_cast<long>(std::min(from, all.size())), all.end(),
                             [&](const auto& l) { return l.find(part) != std::string::npos; });
    }
    // Every line so far, for failure messages.
    std::string transcript() {
        std::string text;
        for (const auto& line : lines())
            text += line + "\n";
        return text;
    }

    // A tone into the speakers and a sine microphone as the default input.
    void loadDesktop() {
        ASSERT_TRUE(
            pulse.pactl({"load-module", "module-sine",
                         std::string("sink=") + PrivatePulseServer::kSpeakers, "frequency=1000"}));
        ASSERT_TRUE(pulse.addSineSource("test_mic", "Test Microphone"));
        ASSERT_TRUE(pulse.pactl({"set-default-source", "test_mic"}));
    }

    PrivatePulseServer pulse;
    std::unique_ptr<PrivateXServer> x;
    std::unique_ptr<HelperProcess> helper;
    std::unique_ptr<HelperFrames> frames;
};

// The same with a display, for system audio.
class HelperOnDesktop : public HelperOnPulse {
  protected:
    HelperOnDesktop() : HelperOnPulse(true) {}
};

}  // namespace ostrovane::test
