// The ScreenCast portal client against a scripted portal on a private bus,
// and the store of the restore tokens it is granted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "platform/ScreenStreamErrors.h"
#include "platform/dbus/SdBus.h"
#include "platform/portal/PortalScreenCast.h"
#include "platform/portal/RestoreTokens.h"
#include "platform/portal/SessionConnection.h"
#include "platform/wayland/PortalGrants.h"
#include "servers/PrivateSystemBus.h"

namespace ostrovane::test {
namespace {

using namespace platform;
using namespace platform::portal;
using namespace platform::wayland;
using namespace std::chrono_literals;
using Options = std::map<std::string, std::string>;
namespace fs = std::filesystem;

// The stream a granted Start carries, and the byte its PipeWire remote reads.
constexpr std::uint32_t kNode = 57;
constexpr std::int32_t kWidth = 1280, kHeight = 720;
constexpr char kRemoteByte = 'p';
constexpr const char* kRoot = "/org/freedesktop/portal/desktop";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";
constexpr const char* kGranted = "CreateSession SelectSources Start OpenPipeWireRemote";

struct Script {
    std::uint32_t version = 5;
    std::uint32_t sourceTypes = 1 | 2;
    std::uint32_t cursorModes = 1 | 2 | 4;
    bool screenCast = true;                           // false: owns the name, serves no ScreenCast
    std::uint32_t create = 0, select = 0, start = 0;  // each step's Response code
    bool silentStart = false;                         // a dialog nobody answers
    bool closeWhenOpened = false;  // Session.Closed, twice, after OpenPipeWireRemote
    bool streams = true;
    std::uint32_t failedCreates = 0;  // the first ones answer 2, as a backend starting anew
    bool refuseTokens = false;        // SelectSources with a restore token is refused
    // The granted stream's place and size.
    std::int32_t x = 0, y = 0, width = kWidth, height = kHeight;
};

// Owns the portal's name, answers every request with the scripted Response
// and records the methods called, Request.Close and Session.Close among them,
// and SelectSources' options. Serves its connection on its own thread.
struct FakePortal {
    FakePortal(const std::string& address, Script wanted);
    void record(const std::string& call) {
        std::lock_guard lock(mutex);
        calls += (calls.empty() ? "" : " ") + call;
    }
    std::pair<std::string, Options> seen() {
        std::lock_guard lock(mutex);
        return {calls, selected};
    }
    int answer(sd_bus_message* call);
    static int onMethod(sd_bus_message* call, void* self, sd_bus_error*) {
        return static_cast<FakePortal*>(self)->answer(call);
    }
    static int onClose(sd_bus_message* call, void* self, sd_bus_error*) {
        const char* interface = std::strrchr(sd_bus_message_get_interface(call), '.') + 1;
        static_cast<FakePortal*>(self)->record(interface + std::string(".Close"));
        return sd_bus_reply_method_return(call, "");
    }

    Script script;
    dbus::BusPtr bus;
    std::string session;
    std::mutex mutex;
    std::string calls;  // space-separated; guarded by mutex, as is `selected`
    Options selected;
    std::jthread server;  // stopped and joined first
};

// Properties are read straight from the Script, methods go to the portal.
const sd_bus_vtable kOffer[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("version", "u", nullptr, offsetof(Script, version), 0),
    SD_BUS_PROPERTY("AvailableSourceTypes", "u", nullptr, offsetof(Script, sourceTypes), 0),
    SD_BUS_PROPERTY("AvailableCursorModes", "u", nullptr, offsetof(Script, cursorModes), 0),
    SD_BUS_VTABLE_END};
const sd_bus_vtable kMethods[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CreateSession", "a{sv}", "o", FakePortal::onMethod, 0),
    SD_BUS_METHOD("SelectSources", "oa{sv}", "o", FakePortal::onMethod, 0),
    SD_BUS_METHOD("Start", "osa{sv}", "o", FakePortal::onMethod, 0),
    SD_BUS_METHOD("OpenPipeWireRemote", "oa{sv}", "h", FakePortal::onMethod, 0),
    SD_BUS_VTABLE_END};
const sd_bus_vtable kClosable[] = {SD_BUS_VTABLE_START(0),
                                   SD_BUS_METHOD("Close", "", "", FakePortal::onClose, 0),
                                   SD_BUS_VTABLE_END};

FakePortal::FakePortal(const std::string& address, Script wanted) : script(wanted) {
    auto connected = connectSessionBus(address, 5s);
    if (!connected)
        return;
    bus = std::move(connected).value();
    if (script.screenCast) {
        const char* screenCast = "org.freedesktop.portal.ScreenCast";
        sd_bus_add_object_vtable(bus.get(), nullptr, kRoot, screenCast, kOffer, &script);
        sd_bus_add_object_vtable(bus.get(), nullptr, kRoot, screenCast, kMethods, this);
    }
    if (sd_bus_request_name(bus.get(), "org.freedesktop.portal.Desktop", 0) < 0)
        return;
    server = std::jthread([this](std::stop_token stop) {
        for (int r = 0; !stop.stop_requested() && r >= 0;) {
            if ((r = sd_bus_process(bus.get(), nullptr)) == 0)
                r = sd_bus_wait(bus.get(), 20'000);
        }
    });
}

int FakePortal::answer(sd_bus_message* call) {
    const std::string method = sd_bus_message_get_member(call);
    record(method);
    int r = 0;
    if (method == "OpenPipeWireRemote") {
        int ends[2];
        if (pipe(ends) < 0)
            return -errno;
        r = write(ends[1], &kRemoteByte, 1) == 1 ? sd_bus_reply_method_return(call, "h", ends[0])
                                                 : -EIO;  // the reply holds a copy
        close(ends[0]);
        close(ends[1]);
        for (int i = 0; script.closeWhenOpened && i < 2 && r >= 0; ++i)
            r = sd_bus_emit_signal(bus.get(), session.c_str(), kSession, "Closed", "a{sv}", 0);
        return r;
    }
    // A method answered with a Request object at the path its handle token names.
    if (method != "CreateSession")
        sd_bus_message_skip(call, method == "Start" ? "os" : "o");
    Options options;
    dbus::readDict(call, [&](const std::string& key, sd_bus_message* value) {
        const char* text = nullptr;
        std::uint32_t number = 0;
        int truth = 0;
        if ((r = dbus::readVariant(value, 's', text)) > 0)
            options[key] = text;
        else if ((r = dbus::readVariant(value, 'u', number)) > 0)
            options[key] = std::to_string(number);
        else if ((r = dbus::readVariant(value, 'b', truth)) > 0)
            options[key] = truth ? "true" : "false";
        return r;
    });
    std::string sender = sd_bus_message_get_sender(call) + 1;
    std::replace(sender.begin(), sender.end(), '.', '_');
    const std::string handle =
        std::string(kRoot) + "/request/" + sender + "/" + options["handle_token"];
    options.erase("handle_token");
    if (method == "SelectSources") {
        std::lock_guard lock(mutex);
        selected = options;
    }
    if (method == "CreateSession") {
        session = std::string(kRoot) + "/session/" + sender + "/" + options["session_handle_token"];
        sd_bus_add_object_vtable(bus.get(), nullptr, session.c_str(), kSession, kClosable, this);
    }
    sd_bus_add_object_vtable(bus.get(), nullptr, handle.c_str(), kRequest, kClosable, this);
    if (method == "SelectSources" && script.refuseTokens && options.count("restore_token"))
        return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_INVALID_ARGS, "Invalid restore token");
    std::uint32_t code = method == "CreateSession"   ? script.create
                         : method == "SelectSources" ? script.select
                                                     : script.start;
    if (method == "CreateSession" && script.failedCreates > 0) {
        --script.failedCreates;
        code = 2;
    }
    if ((r = sd_bus_reply_method_return(call, "o", handle.c_str())) < 0 ||
        (method == "Start" && script.silentStart)) {
        return r;
    }
    // Every Response carries every result; without streams they go under an unknown key.
    return sd_bus_emit_signal(
        bus.get(), handle.c_str(), kRequest, "Response", "ua{sv}", code, 3, "session_handle", "s",
        session.c_str(), script.streams ? "streams" : "unknown", "a(ua{sv})", 1, kNode, 3, "size",
        "(ii)", script.width, script.height, "position", "(ii)", script.x, script.y, "source_type",
        "u", 1u, "restore_token", "s", "granted-token");
}

class PortalTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(bus.ready()) << bus.failure(); }

    void serve(Script s) { portal = std::make_unique<FakePortal>(bus.address(), s); }
    platform::Result<std::unique_ptr<PortalSession>> start(CastRequest request) {
        return PortalSession::start({bus.address(), 5s, 300ms}, request,
                                    [this](const platform::Error& error) {
                                        std::lock_guard lock(mutex);
                                        closings.push_back(error);
                                        changed.notify_all();
                                    });
    }
    // The session's closings once `count` came, or after a few seconds; at
    // once for 0.
    std::vector<platform::Error> closedAfter(std::size_t count) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, 5s, [&] { return closings.size() >= count; });
        return closings;
    }

    PrivateSystemBus bus;
    std::unique_ptr<FakePortal> portal;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<platform::Error> closings;  // guarded by mutex
};

// What SelectSources carries follows what the portal offers; every grant
// carries the stream, the token and the remote, and is closed quietly.
struct Offer {
    const char* name;
    std::uint32_t version;
    std::uint32_t cursorModes;
    bool showCursor;
    const char* cursorSent;  // nullptr: no cursor_mode
    CursorMode cursorMode;
    friend void PrintTo(const Offer& offer, std::ostream* out) { *out << offer.name; }
};
class PortalGrantTest : public PortalTest, public testing::WithParamInterface<Offer> {};

TEST_P(PortalGrantTest, SendsOnlyWhatIsOfferedAndKeepsTheGrant) {
    const Offer& o = GetParam();
    serve({.version = o.version, .cursorModes = o.cursorModes});
    auto session = start({SourceType::monitor, o.showCursor, "earlier-token"});
    ASSERT_TRUE(session) << session.error().description();

    const PortalSession& granted = *session.value();
    const CastStream& s = granted.stream();
    EXPECT_EQ(std::tuple(s.nodeId, s.width, s.height, s.sourceType),
              std::tuple(kNode, kWidth, kHeight, 1u));
    EXPECT_EQ(granted.cursorMode(), o.cursorMode);
    EXPECT_EQ(granted.restoreToken(), "granted-token");
    EXPECT_TRUE(fcntl(granted.pipeWireFd(), F_GETFD) & FD_CLOEXEC);
    char byte = 0;  // the portal's remote, not a copy of some other descriptor
    EXPECT_TRUE(read(granted.pipeWireFd(), &byte, 1) == 1 && byte == kRemoteByte);

    Options selected{{"types", "1"}, {"multiple", "false"}};
    if (o.cursorSent)
        selected["cursor_mode"] = o.cursorSent;
    if (o.version >= 4)  // grants outlive the session: ask so, with the earlier token
        selected.insert({{"persist_mode", "2"}, {"restore_token", "earlier-token"}});
    EXPECT_EQ(portal->seen(), std::pair(std::string(kGranted), selected));
    session.value().reset();
    EXPECT_EQ(portal->seen().first, kGranted + std::string(" Session.Close"));
    EXPECT_TRUE(closedAfter(0).empty());  // closing it ourselves is not reported
}

using enum CursorMode;
INSTANTIATE_TEST_SUITE_P(Offers, PortalGrantTest,
                         testing::Values(Offer{"Embedded", 5, 7, true, "2", embedded},
                                         Offer{"HiddenWanted", 5, 7, false, "1", hidden},
                                         Offer{"Metadata", 4, 5, true, "4", metadata},
                                         Offer{"OnlyHidden", 3, 1, true, "1", hidden},
                                         Offer{"HiddenNotOffered", 3, 6, false, {}, hidden},
                                         Offer{"NoModes", 1, 0, true, {}, hidden}),
                         [](const auto& info) { return info.param.name; });

// Refusals at each step; a created session is closed again. A start for a
// window asks for one; one with a token sends "damaged".
struct Refusal {
    const char* name;
    std::int64_t code;
    const char* calls;
    Script script;
    // What the failure means for the caller: whether to ask once more, or
    // to forget the token.
    StartFailure failure = StartFailure::lasting;
    bool window = false;
    friend void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }
};
class PortalRefusalTest : public PortalTest, public testing::WithParamInterface<Refusal> {};
using enum StartFailure;

TEST_P(PortalRefusalTest, FailsWithTheMatchingError) {
    const Refusal& r = GetParam();
    serve(r.script);
    StartFailure failure = StartFailure::transient;
    const auto token = r.failure == tokenRefused ? "damaged" : std::optional<std::string>();
    const auto session = PortalSession::start(
        {bus.address(), 5s, 300ms},
        {r.window ? SourceType::window : SourceType::monitor, true, token}, {}, &failure);
    ASSERT_FALSE(session);
    EXPECT_EQ(session.error().code, r.code) << session.error().description();
    EXPECT_EQ(failure, r.failure);
    EXPECT_EQ(portal->seen().first, r.calls);
}

constexpr const char* kStarted = "CreateSession SelectSources Start Session.Close";
constexpr const char* kTimedOut = "CreateSession SelectSources Start Request.Close Session.Close";
constexpr const char* kSelected = "CreateSession SelectSources Session.Close";
const Refusal kRefusals[] = {
    {"CreateCancelled", kUserDeclinedCode, "CreateSession", {.create = 1}},
    // A backend that is starting again fails before any dialog.
    {"BackendStarting", kPortalFailedCode, "CreateSession", {.failedCreates = 1}, transient},
    {"SelectFailed", kPortalFailedCode, kSelected, {.select = 2}, transient},
    {"StartFailedAtOnce", kPortalFailedCode, kStarted, {.start = 2}, transient},
    {"StartCancelled", kUserDeclinedCode, kStarted, {.start = 1}},
    {"NoStream", kPortalFailedCode, kStarted, {.streams = false}},
    {"TokenRefused", kPortalFailedCode, kSelected, {.refuseTokens = true}, tokenRefused},
    // The consent limit closes the Request and the session.
    {"ConsentTimeout", kConsentTimeoutCode, kTimedOut, {.silentStart = true}},
    // Refused here rather than after a dialog.
    {"WindowNotOffered", kUnsupportedTargetCode, "", {.sourceTypes = 1}, lasting, true}};
INSTANTIATE_TEST_SUITE_P(Answers, PortalRefusalTest, testing::ValuesIn(kRefusals),
                         [](const auto& info) { return info.param.name; });

TEST_F(PortalTest, MissingPortalOrScreenCastIsNamed) {
    const std::pair<std::string, std::string> cases[] = {
        {"unix:path=/nowhere",
         "The desktop portal is not available: no session bus at unix:path=/nowhere"},
        {bus.address(), "nothing serves org.freedesktop.portal.Desktop"},
        {bus.address(), "The desktop portal offers no screen casting"},  // served below
    };
    for (const auto& [address, message] : cases) {
        SCOPED_TRACE(message);
        if (message == cases[2].second)
            serve({.screenCast = false});
        const auto offer = readPortalOffer({address, 5s, 300ms});
        const auto session = PortalSession::start({address, 5s, 300ms}, {}, {});
        ASSERT_FALSE(offer || session);
        EXPECT_EQ(offer.error().code, kPortalUnavailableCode);
        EXPECT_NE(offer.error().message.find(message), std::string::npos) << offer.error().message;
        EXPECT_EQ(session.error(), offer.error());
    }
}

// The portal's Session.Closed (true) or the loss of the bus ends the
// session, reported once: nothing after that or after its destruction.
class PortalEndTest : public PortalTest, public testing::WithParamInterface<bool> {};

TEST_P(PortalEndTest, IsReportedOnce) {
    serve({.closeWhenOpened = GetParam()});
    auto session = start({});
    ASSERT_TRUE(session) << session.error().description();
    if (!GetParam())
        bus.kill();
    const platform::Error lost{kScreenStreamErrorDomain, kSessionClosedCode,
                               "The connection to the session bus was lost"};
    EXPECT_EQ(closedAfter(1), std::vector{GetParam() ? sessionClosedError() : lost});
    bus.kill();
    session.value().reset();
    EXPECT_EQ(closedAfter(0).size(), 1u);
}
INSTANTIATE_TEST_SUITE_P(ByPortalOrBus, PortalEndTest, testing::Bool());

// The restore-token store: one file, private to the user, replaced whole.
// Each test process has a directory of its own, which the store creates; one
// left by an earlier process of the same pid is cleared first.
class RestoreTokensTest : public testing::Test {
  protected:
    void SetUp() override { fs::remove_all(directory); }
    void TearDown() override { fs::remove_all(directory); }

    const fs::path directory =
        fs::temp_directory_path() / ("ostrovane-tokens." + std::to_string(::getpid()));
    const fs::path file = directory / "state" / "ostrovane" / "portal-tokens";
};

TEST_F(RestoreTokensTest, TokensOutliveTheStoreInAPrivateFileReplacedWhole) {
    RestoreTokens writer(file);
    // What the file cannot hold is refused, and nothing is written for it.
    EXPECT_FALSE(writer.store("monitor\t1", "token"));
    EXPECT_FALSE(writer.store("monitor", "to\nken"));
    EXPECT_FALSE(writer.store("", "token"));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(RestoreTokens({}).store("monitor", "token"));

    ASSERT_TRUE(writer.store("monitor:DP-1", "first"));
    ASSERT_TRUE(writer.store("window:firefox", "second"));
    ASSERT_TRUE(writer.store("monitor:DP-1", "third"));
    ASSERT_TRUE(writer.forget("window:firefox"));
    ASSERT_TRUE(writer.forget("never-stored"));

    const RestoreTokens reader(file);
    EXPECT_EQ(reader.find("monitor:DP-1"), "third");
    EXPECT_EQ(reader.find("window:firefox"), std::nullopt);
    EXPECT_EQ(fs::status(file).permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(file.parent_path()).permissions(), fs::perms(0700));
    EXPECT_EQ(fs::status(directory / "state").permissions(), fs::perms(0700));
    // Only the store itself: no file it was written through is left.
    std::vector<fs::path> entries(fs::directory_iterator(file.parent_path()), {});
    EXPECT_EQ(entries, std::vector<fs::path>{file});
}

// A file with any line not of the store's making is not trusted at all:
// after a good line, one without a tab, one cut short, a token holding a tab
// or a NUL.
TEST_F(RestoreTokensTest, DamagedFileIsAnEmptyStoreAndIsReplacedOnStore) {
    const std::string damaged[] = {"no tab\n", "c\td", "c\td\te\n", std::string("c\td\0\n", 5)};
    fs::create_directories(file.parent_path());
    for (const std::string& tail : damaged) {
        SCOPED_TRACE(testing::PrintToString(tail));
        std::ofstream(file, std::ios::binary | std::ios::trunc) << "a\tb\n" + tail;
        RestoreTokens tokens(file);
        EXPECT_EQ(tokens.find("a"), std::nullopt);
        ASSERT_TRUE(tokens.store("monitor:DP-2", "fresh"));
        EXPECT_EQ(tokens.find("monitor:DP-2"), "fresh");
    }
}

// Grants through the provider's store: the token is kept under the display
// the stream shows, a backend that fails by itself is asked once more with
// the same token, and a refused token is forgotten and the user asked.
struct GrantCase {
    const char* name;
    Script script;
    const char* granted;             // the key the new token is stored under; "": none
    const char* calls = kGranted;    // up to the grant
    const char* sent = "old-token";  // the token the last SelectSources carried
    friend void PrintTo(const GrantCase& c, std::ostream* out) { *out << c.name; }
};
class PortalGrantsTest : public PortalTest, public testing::WithParamInterface<GrantCase> {};

TEST_P(PortalGrantsTest, KeepsTheTokenUnderWhatWasGranted) {
    const fs::path file = fs::path(testing::TempDir()) / ("tokens-" + std::string(GetParam().name));
    fs::remove(file);
    RestoreTokens(file).store("display:A", "old-token");
    serve(GetParam().script);
    PortalGrants grants({bus.address(), 5s, 10s}, file, [](std::string_view) {});
    const WaylandOutput a{3, "A", "", 0, 0, 1280, 720, 1280, 720, 1};
    grants.noteOutputs({a, {7, "B", "", 1280, 0, 1024, 768, 1024, 768, 1}});
    auto session = grants.request(GrantTarget::display(a), true, {});
    ASSERT_TRUE(session) << session.error().description();
    EXPECT_EQ(portal->seen().first, GetParam().calls);
    EXPECT_EQ(portal->seen().second["restore_token"], GetParam().sent);
    const RestoreTokens stored(file);
    std::map<std::string, std::string> tokens, expected;
    for (const char* key : {"display:A", "display:B"})
        if (auto token = stored.find(key))
            tokens[key] = *token;
    if (*GetParam().granted)
        expected[GetParam().granted] = "granted-token";
    EXPECT_EQ(tokens, expected);
}

constexpr const char* kRetried =
    "CreateSession CreateSession SelectSources Start OpenPipeWireRemote";
constexpr const char* kAskedAnew =
    "CreateSession SelectSources Session.Close CreateSession SelectSources Start "
    "OpenPipeWireRemote";
const GrantCase kGrants[] = {
    {"AsAsked", {}, "display:A"},
    {"AnotherMonitor", {.x = 1280, .width = 1024, .height = 768}, "display:B"},
    {"WholeWorkspace", {.width = 2304, .height = 768}, ""},
    {"BackendStartingAnew", {.failedCreates = 1}, "display:A", kRetried},
    {"TokenRefused", {.refuseTokens = true}, "display:A", kAskedAnew, ""}};
INSTANTIATE_TEST_SUITE_P(Grants, PortalGrantsTest, testing::ValuesIn(kGrants),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrovane::test
