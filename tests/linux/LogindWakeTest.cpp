// Wake from sleep on Linux: logind's PrepareForSleep on a private bus standing
// in for the system bus, and a bus that is missing, mute or restarted.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "dispatch/SystemClock.h"
#include "platform/apps/LinuxApplications.h"
#include "platform/linux/LinuxPlatform.h"
#include "servers/PrivateSystemBus.h"
#include "support/WaitUntil.h"
#include "util/UniqueFd.h"

namespace ostrovane::test {
namespace {

using platform::LinuxApplications;
using Options = platform::logind::LogindWakeWatcher::Options;
using namespace std::chrono_literals;

constexpr const char* kLogind = "org.freedesktop.login1";

// Calls of one observer and the threads they came on.
struct Calls {
    std::atomic<int> count{0};
    std::mutex mutex;
    std::vector<std::thread::id> threads;  // guarded by mutex

    std::function<void()> observer() {
        return [this] {
            {
                std::lock_guard lock(mutex);
                threads.push_back(std::this_thread::get_id());
            }
            ++count;
        };
    }
};

class LogindWakeTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ready()) << "private bus did not start: " << bus.failure();
    }

    // Returns once the watcher (every client but `from` and `other`) has read
    // everything `from` sent it, and its observers had a moment to run.
    void settle(BusClient& from, BusClient& other) {
        for (const std::string& name : from.otherClients()) {
            if (name != other.uniqueName()) {
                EXPECT_TRUE(from.ping(name));
            }
        }
        std::this_thread::sleep_for(200ms);
    }

    PrivateSystemBus bus;
};

// Only logind's wake reaches the observers, once each per wake, on the
// watcher's thread, and only those still registered: one removed during a
// wake from within an observer is not called (one removed before is the
// contract's). A restarted bus is followed again.
TEST_F(LogindWakeTest, OnlyLogindsWakeReachesTheObserversStillRegisteredAcrossBusRestarts) {
    auto apps = std::make_unique<LinuxApplications>(Options{bus.address(), 100ms});
    ASSERT_TRUE(waitUntil([&] { return apps->followingWake(); }, 5s));
    BusClient logind(bus.address());
    ASSERT_TRUE(logind.own(kLogind));
    BusClient impostor(bus.address());
    ASSERT_TRUE(impostor.connected());
    Calls removesItself;
    Calls kept;
    Calls removedDuring;
    platform::WakeObserverToken self;
    platform::WakeObserverToken later;
    std::atomic<bool> registered{false};
    // Runs before the two others (registration order) and removes itself and
    // the last one on the watcher's thread.
    self = apps->addWakeObserver([&, observer = removesItself.observer()] {
        observer();
        if (registered) {
            apps->removeWakeObserver(self);
            apps->removeWakeObserver(later);
        }
    });
    apps->addWakeObserver(kept.observer());
    later = apps->addWakeObserver(removedDuring.observer());
    registered = true;

    // Going to sleep, and a wake from someone who is not logind, broadcast
    // or addressed to the watcher directly.
    ASSERT_TRUE(logind.emitPrepareForSleep(true));
    ASSERT_TRUE(impostor.emitPrepareForSleep(false));
    for (const std::string& name : impostor.otherClients()) {
        if (name != logind.uniqueName()) {
            ASSERT_TRUE(impostor.emitPrepareForSleep(false, name));
        }
    }
    settle(impostor, logind);
    settle(logind, impostor);
    EXPECT_EQ(removesItself.count + kept.count, 0);

    for (int wake = 1; wake <= 2; ++wake) {
        ASSERT_TRUE(logind.emitPrepareForSleep(false));
        ASSERT_TRUE(waitUntil([&] { return kept.count == wake; }, 5s));
    }
    settle(logind, impostor);
    EXPECT_EQ(kept.count, 2);
    EXPECT_EQ(removesItself.count, 1);
    EXPECT_EQ(removedDuring.count, 0);
    {
        std::scoped_lock lock(kept.mutex, removesItself.mutex);
        EXPECT_NE(kept.threads.at(0), std::this_thread::get_id());
        EXPECT_EQ(kept.threads.at(0), removesItself.threads.at(0));
    }
    // Tokens are not handed out again.
    EXPECT_GT(apps->addWakeObserver([] {}).id, later.id);

    // The watcher reconnects on its own time: announce until it hears.
    ASSERT_TRUE(bus.restart()) << bus.failure();
    BusClient restarted(bus.address());
    ASSERT_TRUE(restarted.own(kLogind));
    EXPECT_TRUE(waitUntil(
        [&] {
            restarted.emitPrepareForSleep(false);
            return waitUntil([&] { return kept.count > 2; }, 100ms);
        },
        5s));
}

TEST_F(LogindWakeTest, WithoutAnAnsweringBusNothingFiresAndNothingWaits) {
    // A mute bus: a socket that accepts connections and never says a word.
    const std::string mute = bus.address().substr(std::string("unix:path=").size()) + ".mute";
    UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    mute.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.get(), 8), 0);

    for (const std::string& where :
         {std::string("unix:path=/nonexistent/bus"), "unix:path=" + mute}) {
        SCOPED_TRACE(where);
        Calls calls;
        const auto start = std::chrono::steady_clock::now();
        {
            LinuxApplications apps(Options{where, 20ms});
            apps.addWakeObserver(calls.observer());
            std::this_thread::sleep_for(200ms);  // several attempts
            EXPECT_FALSE(apps.followingWake());
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        EXPECT_EQ(calls.count, 0);
    }

    // Processes come from /proc; without desktop entries no process is an
    // application (whatever else runs on the machine).
    LinuxApplications apps(Options{"unix:path=/nonexistent/bus", 3s},
                           platform::ApplicationSources{"/proc", platform::DesktopEntrySources{}});
    EXPECT_EQ(apps.currentPid(), getpid());
    EXPECT_EQ(apps.executablePath(getpid()), std::filesystem::read_symlink("/proc/self/exe"));
    EXPECT_TRUE(apps.runningApplications().empty());
}

TEST_F(LogindWakeTest, ThePlatformStopsFollowingWhenItGoes) {
    dispatch::SystemClock clock;
    platform::LinuxPlatformOptions options;
    options.pulseServer = "unix:/nonexistent/ostrovane/native";  // wake needs no sound server
    options.systemBus = bus.address();
    auto platform = platform::makeLinuxPlatform(clock, options);
    auto apps = std::dynamic_pointer_cast<LinuxApplications>(platform.applications);
    ASSERT_TRUE(apps);
    ASSERT_TRUE(waitUntil([&] { return apps->followingWake(); }, 5s));
    BusClient logind(bus.address());
    ASSERT_TRUE(logind.own(kLogind));

    // The last reference goes from within an observer, on the watcher's own
    // thread: no join with itself, no deadlock.
    std::mutex mutex;
    std::shared_ptr<platform::Applications> held = std::move(platform.applications);
    std::atomic<bool> released{false};
    apps->addWakeObserver([&] {
        std::shared_ptr<platform::Applications> last;
        {
            std::lock_guard lock(mutex);
            last = std::move(held);
        }
        last.reset();
        released = true;
    });
    apps.reset();
    ASSERT_TRUE(logind.emitPrepareForSleep(false));
    EXPECT_TRUE(waitUntil([&] { return released.load(); }, 5s));

    // And from another thread while connected: the watcher is joined at once.
    platform = platform::makeLinuxPlatform(clock, options);
    apps = std::dynamic_pointer_cast<LinuxApplications>(platform.applications);
    ASSERT_TRUE(waitUntil([&] { return apps->followingWake(); }, 5s));
    const auto start = std::chrono::steady_clock::now();
    apps.reset();
    platform = {};
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace
}  // namespace ostrovane::test
