#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/portal/SdBus.h"
#include "util/UniqueFd.h"

namespace ostrovane::test {

// A scripted ScreenCast portal of the tests' own: it owns the portal's name
// on a private bus, answers every request with the scripted Response and
// records what the client sent. It serves its connection on a thread of its
// own; its accessors may be called from any thread.
class FakePortal {
  public:
    struct Script {
        std::uint32_t version = 5;
        std::uint32_t sourceTypes = 1 | 2;
        std::uint32_t cursorModes = 1 | 2 | 4;
        bool screenCast = true;  // false: owns the name, serves no ScreenCast
        std::uint32_t createCode = 0;
        std::uint32_t selectCode = 0;
        std::uint32_t startCode = 0;
        bool silentStart = false;      // a dialog nobody answers
        bool closeWhenOpened = false;  // Session.Closed, twice, after OpenPipeWireRemote
        bool streams = true;
        std::string restoreToken = "granted-token";  // empty: none given
    };
    // The stream a granted Start carries, and the byte its PipeWire remote reads.
    static constexpr std::uint32_t kNode = 57;
    static constexpr std::int32_t kWidth = 1280;
    static constexpr std::int32_t kHeight = 720;
    static constexpr char kRemoteByte = 'p';

    struct Seen {
        // The methods called, "Request.Close" and "Session.Close" among them.
        std::vector<std::string> calls;
        // SelectSources' options of type u and b, and its restore token.
        std::map<std::string, std::uint32_t> selected;
        std::optional<std::string> restoreToken;
    };

    FakePortal(const std::string& address, Script script);
    ~FakePortal();

    bool ready() const { return thread_.joinable(); }
    Seen seen() const;

    // sd-bus handlers.
    static int onMethod(sd_bus_message* call, void* self, sd_bus_error*);
    static int onClose(sd_bus_message* call, void* self, sd_bus_error*);
    static int property(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply,
                        void* self, sd_bus_error*);

  private:
    void record(const std::string& call);
    int request(sd_bus_message* call, const std::string& method);
    int respond(const std::string& handle, std::uint32_t code, const std::string& method);
    void serve();

    const Script script_;
    platform::portal::sdbus::BusPtr bus_;
    std::vector<platform::portal::sdbus::SlotPtr> objects_;
    std::string sessionPath_;
    UniqueFd wake_;
    std::thread thread_;

    mutable std::mutex mutex_;
    Seen seen_;
    std::atomic<bool> stopping_{false};
};

}  // namespace ostrovane::test
