#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "contract/ProviderHarness.h"

namespace ostrovane::contract {

// The audio hardware object model: reads, failed reads and listeners.
class AudioHardwareContract : public testing::TestWithParam<Provider> {
  protected:
    void SetUp() override {
        harness = GetParam().make();
        hardware = harness->platform().audioHardware;
        capture = harness->platform().audioCapture;
    }

    // Adds a default microphone and returns its hardware object, or none.
    platform::AudioObjectId addDefault(const std::string& name) {
        auto uid = harness->addDefaultMicrophone(name);
        platform::AudioObjectId id;
        auto isDefault = [&] {
            id = hardware->defaultInputDevice().valueOr({});
            return id && hardware->deviceUID(id).valueOr("") == *uid;
        };
        return uid && harness->waitUntil(isDefault, 5) ? id : platform::AudioObjectId{};
    }

    std::unique_ptr<ProviderHarness> harness;
    std::shared_ptr<platform::AudioHardware> hardware;
    std::shared_ptr<platform::AudioCaptureDevices> capture;
};

// The default microphone is a listed input with the capture device's uid;
// our own capture of it makes it run in input scope, and notifies.
TEST_P(AudioHardwareContract, DefaultInputDeviceIsAListedInputThatRunsWhileWeCaptureIt) {
    const platform::AudioObjectId id = addDefault("Running Mic");
    if (!id)
        GTEST_SKIP() << "provider cannot add a microphone";

    auto list = hardware->devices();
    ASSERT_TRUE(list.ok());
    EXPECT_NE(std::find(list.value().begin(), list.value().end(), id), list.value().end());
    auto channels = hardware->inputStreamChannels(id);
    ASSERT_TRUE(channels.ok());
    ASSERT_FALSE(channels.value().empty());
    EXPECT_GT(channels.value().front(), 0u);
    EXPECT_TRUE(hardware->deviceName(id).ok());
    EXPECT_EQ(hardware->deviceUID(id).value(), capture->defaultDevice()->uniqueId);

    // Whether it runs in input scope; `ifFailed` when the read fails.
    const auto inputRunning = [&](std::uint32_t ifFailed) {
        return hardware->isRunningSomewhere(id, platform::Scope::input).valueOr(ifFailed);
    };
    harness->pass(0.3);
    ASSERT_EQ(inputRunning(1), 0u);

    std::atomic<int> changes{0};
    auto reg = hardware->addListener(
        {id, platform::HardwareProperty::isRunningSomewhere, platform::Scope::global},
        [&] { ++changes; });
    ASSERT_TRUE(reg.ok());

    dispatch::SerialQueue queue(harness->clock(), "contract.hardware");
    auto session = capture->makeSession();
    auto input = capture->makeInput(*capture->defaultDevice());
    ASSERT_TRUE(input.ok());
    session->addInput(input.value());
    auto output = capture->makeAudioDataOutput();
    output->setSampleBufferHandler([](auto) {}, queue.ref());
    session->addOutput(output);
    session->startRunning();
    ASSERT_TRUE(session->isRunning());

    EXPECT_TRUE(harness->waitUntil([&] { return inputRunning(0) != 0; }, 5));
    EXPECT_NE(hardware->isRunningSomewhere(id, platform::Scope::global).valueOr(0), 0u);
    EXPECT_TRUE(harness->waitUntil([&] { return changes > 0; }, 5));

    session->stopRunning();
    EXPECT_TRUE(harness->waitUntil([&] { return inputRunning(1) == 0; }, 5));
    EXPECT_EQ(hardware->removeListener(reg.value()), 0);
}

TEST_P(AudioHardwareContract, ProcessesReadOneByOneAndMissingObjectsFailInsteadOfReadingZero) {
    auto processes = hardware->processObjects();
    ASSERT_TRUE(processes.ok());
    for (auto id : processes.value()) {
        EXPECT_TRUE(hardware->processPid(id).ok());
        EXPECT_TRUE(hardware->processIsRunningInput(id).ok());
    }

    const platform::AudioObjectId missing{0x7FFFFF00};
    for (auto scope : {platform::Scope::global, platform::Scope::input, platform::Scope::output}) {
        auto running = hardware->isRunningSomewhere(missing, scope);
        EXPECT_FALSE(running.ok());
        EXPECT_NE(running.status(), 0);
    }
    EXPECT_FALSE(hardware->deviceUID(missing).ok());
    EXPECT_FALSE(hardware->processPid(missing).ok());
    EXPECT_FALSE(hardware->processIsRunningInput(missing).ok());
}

TEST_P(AudioHardwareContract, ListenerFiresOnChangeAndNeverAfterItsRemoval) {
    std::atomic<int> listChanges{0};
    std::atomic<int> defaultChanges{0};
    auto list = hardware->addListener(
        {platform::kSystemObject, platform::HardwareProperty::deviceList, platform::Scope::global},
        [&] { ++listChanges; });
    auto def = hardware->addListener(
        {platform::kSystemObject, platform::HardwareProperty::defaultInputDevice,
         platform::Scope::global},
        [&] { ++defaultChanges; });
    ASSERT_TRUE(list.ok());
    ASSERT_TRUE(def.ok());

    if (!addDefault("Listener Mic"))
        GTEST_SKIP() << "provider cannot add a microphone";
    ASSERT_TRUE(harness->waitUntil([&] { return listChanges > 0 && defaultChanges > 0; }, 5));

    EXPECT_EQ(hardware->removeListener(list.value()), 0);
    EXPECT_EQ(hardware->removeListener(def.value()), 0);
    // A registration is removed once; a second removal is refused.
    EXPECT_NE(hardware->removeListener(list.value()), 0);

    harness->pass(0.3);
    const int listSeen = listChanges;
    const int defaultSeen = defaultChanges;
    addDefault("Another Mic");
    harness->pass(1.0);
    EXPECT_EQ(listChanges, listSeen);
    EXPECT_EQ(defaultChanges, defaultSeen);
}

}  // namespace ostrovane::contract
