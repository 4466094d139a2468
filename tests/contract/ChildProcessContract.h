#pragma once

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "contract/ProviderHarness.h"

namespace ostrovane::contract {

// Launching children, reading their output in chunks, and their exit.
class ChildProcessContract : public testing::TestWithParam<Provider> {
  protected:
    using Event = std::variant<std::vector<std::uint8_t>, platform::Termination>;

    void SetUp() override {
        harness = GetParam().make();
        processes = harness->platform().childProcesses;
    }

    platform::ChildProcessHandlers recording() {
        return {[this](std::vector<std::uint8_t> chunk) { events.add(std::move(chunk)); },
                [this](platform::Termination t) { events.add(t); }};
    }

    // The output before the exit, and every exit seen.
    std::pair<std::string, std::vector<platform::Termination>> outcome() const {
        std::string text;
        std::vector<platform::Termination> exits;
        for (const Event& e : events.values()) {
            if (auto* chunk = std::get_if<std::vector<std::uint8_t>>(&e)) {
                EXPECT_FALSE(chunk->empty()) << "chunks are never empty";
                EXPECT_TRUE(exits.empty()) << "output after the exit";
                text.append(chunk->begin(), chunk->end());
            } else {
                exits.push_back(std::get<platform::Termination>(e));
            }
        }
        return {text, exits};
    }

    std::unique_ptr<ProviderHarness> harness;
    std::shared_ptr<platform::ChildProcesses> processes;
    Recorder<Event> events;
};

TEST_P(ChildProcessContract, OutputArrivesWholeAndInOrderBeforeTheSingleExit) {
    const std::string text = "first line\nsecond \xC3\xA9 line\n{\"json\":true}\n";
    for (int status : {0, 3}) {
        auto spec = harness->childThatPrints(text, status);
        if (!spec)
            GTEST_SKIP() << "provider cannot script a child";
        events.clear();
        auto child = processes->launch(*spec, recording());
        ASSERT_TRUE(child.ok()) << child.error().description();
        EXPECT_GT(child.value()->pid(), 0);
        ASSERT_TRUE(harness->waitUntil([&] { return !outcome().second.empty(); }, 10));
        harness->pass(0.3);

        auto [out, exits] = outcome();
        EXPECT_EQ(out, text);
        ASSERT_EQ(exits.size(), 1u);
        EXPECT_EQ(exits.front(),
                  (platform::Termination{platform::Termination::Reason::exit, status}));
    }
}

TEST_P(ChildProcessContract, TerminatedChildExitsOnceBySignalAndAFailedLaunchCallsNoHandler) {
    auto missing = processes->launch(harness->missingExecutable(), recording());
    ASSERT_FALSE(missing.ok());
    EXPECT_FALSE(missing.error().localizedDescription().empty());

    auto spec = harness->childThatWaits();
    if (!spec)
        GTEST_SKIP() << "provider cannot script a child";
    auto child = processes->launch(*spec, recording());
    ASSERT_TRUE(child.ok());
    harness->pass(0.2);
    EXPECT_EQ(events.size(), 0u);

    child.value()->terminate();
    ASSERT_TRUE(harness->waitUntil([&] { return !outcome().second.empty(); }, 10));
    child.value()->terminate();  // a second request changes nothing
    harness->pass(0.3);
    auto exits = outcome().second;
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits.front().reason, platform::Termination::Reason::uncaughtSignal);
}

}  // namespace ostrovane::contract
