#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dispatch/Clock.h"
#include "dispatch/SystemClock.h"
#include "platform/Platform.h"

namespace ostrovane::contract {

// Collects values handed over on platform threads or queues.
template <class T>
class Recorder {
  public:
    void add(T value) {
        std::lock_guard lock(mutex_);
        _values.push_back(std::move(value));
    }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return _values.size();
    }
    void clear() {
        std::lock_guard lock(mutex_);
        _values.clear();
    }
    std::vector<T> values() const {
        std::lock_guard lock(mutex_);
        return _values;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<T> _values;  // guarded by mutex_
};

// What a provider's contract tests need besides its interfaces: a way to let
// time pass, and a few ways to arrange its world. A provider that cannot do
// one of the arrangements answers nothing and the test that needs it is
// skipped.
class ProviderHarness {
  public:
    virtual ~ProviderHarness() = default;

    virtual platform::Platform platform() = 0;
    virtual dispatch::Clock& clock() = 0;

    // Lets `seconds` pass so that platform callbacks can arrive.
    virtual void pass(double seconds) = 0;

    // Lets time pass in small steps until `done` holds or `timeoutSeconds`
    // have passed. Returns whether `done` held.
    bool waitUntil(const std::function<bool()>& done, double timeoutSeconds) {
        for (double waited = 0; waited < timeoutSeconds; waited += 0.05) {
            if (done())
                return true;
            pass(0.05);
        }
        return done();
    }

    // Hands `call` a handler that keeps what it is given, waits for the first
    // answer and `settle` seconds more, and returns every answer that came:
    // exactly one is expected.
    template <class T, class Call>
    std::vector<T> answers(Call call, double settle = 0.2) {
        Recorder<T> got;
        call([&got](T value) { got.add(std::move(value)); });
        waitUntil([&] { return got.size() > 0; }, 5);
        pass(settle);
        return got.values();
    }

    // A new microphone, made the default input; its unique id.
    virtual std::optional<std::string> addDefaultMicrophone(const std::string& name) = 0;

    // A child that writes `text` to standard output and exits with `status`.
    virtual std::optional<platform::ChildProcessSpec> childThatPrints(const std::string& text,
                                                                      int status) = 0;
    // A child that writes nothing and runs until terminated.
    virtual std::optional<platform::ChildProcessSpec> childThatWaits() = 0;
    // An executable that cannot be launched.
    virtual platform::ChildProcessSpec missingExecutable() = 0;

    // The machine wakes from sleep; false when the provider cannot cause it.
    virtual bool postWake() = 0;
};

// The harness of a suite that checks one real facility in real time: the
// other suites' scripting hooks have nothing to act on. Its clock is made
// before, and destroyed after, everything a derived harness owns.
class RealTimeHarness : public ProviderHarness {
  public:
    dispatch::Clock& clock() override { return clock_; }
    void pass(double seconds) override {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    std::optional<std::string> addDefaultMicrophone(const std::string&) override {
        return std::nullopt;
    }
    std::optional<platform::ChildProcessSpec> childThatPrints(const std::string&, int) override {
        return std::nullopt;
    }
    std::optional<platform::ChildProcessSpec> childThatWaits() override { return std::nullopt; }
    platform::ChildProcessSpec missingExecutable() override { return {"/nonexistent", {}}; }
    bool postWake() override { return false; }

  protected:
    dispatch::SystemClock clock_;
};

using HarnessFactory = std::function<std::unique_ptr<ProviderHarness>()>;

// A named factory, the parameter of every contract suite.
struct Provider {
    std::string name;
    HarnessFactory make;
};

inline void PrintTo(const Provider& provider, std::ostream* os) {
    *os << provider.name;
}

inline std::string providerName(const testing::TestParamInfo<Provider>& info) {
    return info.param.name;
}

}  // namespace ostrovane::contract
