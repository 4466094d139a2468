// The ScreenCast portal client against a scripted portal on a private bus.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "platform/portal/PortalScreenCast.h"
#include "platform/wayland/WaylandErrors.h"
#include "portal/FakePortal.h"
#include "servers/PrivateSystemBus.h"

namespace ostrovane::test {
namespace {

using namespace platform::portal;
using namespace platform::wayland;
using namespace std::chrono_literals;
using Calls = std::vector<std::string>;

class PortalTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(bus.ready()) << bus.failure(); }

    void serve(FakePortal::Script script = {}) {
        portal = std::make_unique<FakePortal>(bus.address(), script);
        ASSERT_TRUE(portal->ready());
    }
    PortalOptions options() const { return {bus.address(), 5s, 300ms}; }
    platform::Result<std::unique_ptr<PortalSession>> start(CastRequest request = {}) {
        return PortalSession::start(options(), request, [this](const platform::Error& error) {
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

TEST_F(PortalTest, GrantedSessionCarriesTheStreamTheTokenAndTheRemote) {
    serve();
    auto session = start({SourceType::monitor, true, "earlier-token"});
    ASSERT_TRUE(session) << session.error().description();

    const CastStream& stream = session.value()->stream();
    EXPECT_EQ(stream.nodeId, FakePortal::kNode);
    EXPECT_EQ(stream.width, FakePortal::kWidth);
    EXPECT_EQ(stream.height, FakePortal::kHeight);
    EXPECT_EQ(stream.sourceType, 1u);
    EXPECT_EQ(session.value()->restoreToken(), "granted-token");
    const int fd = session.value()->pipeWireFd();
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    char byte = 0;
    EXPECT_EQ(read(fd, &byte, 1), 1);
    EXPECT_EQ(byte, FakePortal::kRemoteByte);

    const auto seen = portal->seen();
    EXPECT_EQ(seen.calls, (Calls{"CreateSession", "SelectSources", "Start", "OpenPipeWireRemote"}));
    EXPECT_EQ(seen.selected.at("types"), 1u);
    EXPECT_EQ(seen.selected.at("multiple"), 0u);
    session.value().reset();
    EXPECT_EQ(portal->seen().calls.back(), "Session.Close");
    EXPECT_TRUE(closedAfter(0).empty());  // closing it ourselves is not reported
}

TEST_F(PortalTest, ConsentLimitClosesTheRequestAndTheSession) {
    serve({.silentStart = true});
    const auto session = start();
    ASSERT_FALSE(session);
    EXPECT_EQ(session.error(), consentTimeoutError());
    EXPECT_EQ(portal->seen().calls,
              (Calls{"CreateSession", "SelectSources", "Start", "Request.Close", "Session.Close"}));
}

TEST_F(PortalTest, MissingPortalOrScreenCastIsNamed) {
    const std::string noBus = "unix:path=/nonexistent/bus";
    const struct {
        std::string address;
        bool serveWithoutScreenCast;
        std::string message;
    } cases[] = {
        {noBus, false, "The desktop portal is not available: no session bus at " + noBus},
        {bus.address(), false, "nothing serves org.freedesktop.portal.Desktop"},
        {bus.address(), true, "The desktop portal offers no screen casting"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.serveWithoutScreenCast)
            serve({.screenCast = false});
        const auto offer = readPortalOffer({c.address, 5s, 300ms});
        ASSERT_FALSE(offer);
        EXPECT_EQ(offer.error().code, kPortalUnavailableCode);
        EXPECT_NE(offer.error().message.find(c.message), std::string::npos)
            << offer.error().message;
        const auto session = PortalSession::start({c.address, 5s, 300ms}, {}, {});
        ASSERT_FALSE(session);
        EXPECT_EQ(session.error(), offer.error());
    }
}

TEST_F(PortalTest, WindowCaptureNotOfferedIsRefusedWithoutADialog) {
    serve({.sourceTypes = 1});
    const auto session = start({SourceType::window, true, std::nullopt});
    ASSERT_FALSE(session);
    EXPECT_EQ(session.error().code, kUnsupportedTargetCode);
    EXPECT_EQ(session.error().message, "The desktop portal offers no window capture");
    EXPECT_TRUE(portal->seen().calls.empty());
}

TEST_F(PortalTest, SessionClosedByThePortalIsReportedOnce) {
    serve({.closeWhenOpened = true});
    auto session = start();
    ASSERT_TRUE(session) << session.error().description();
    EXPECT_EQ(closedAfter(1), std::vector{sessionClosedError()});
    bus.kill();
    session.value().reset();
    EXPECT_EQ(closedAfter(0).size(), 1u);
}

TEST_F(PortalTest, LostBusEndsTheSession) {
    serve();
    auto session = start();
    ASSERT_TRUE(session) << session.error().description();
    bus.kill();
    const auto closed = closedAfter(1);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0], platform::Error(kErrorDomain, kSessionClosedCode,
                                         "The connection to the session bus was lost"));
}

// Refusals at each step; a created session is closed again.
struct Refusal {
    std::string name;
    FakePortal::Script script;
    std::int64_t code;
    Calls calls;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
    *out << refusal.name;
}
class PortalRefusalTest : public PortalTest, public testing::WithParamInterface<Refusal> {};

TEST_P(PortalRefusalTest, FailsWithTheMatchingError) {
    serve(GetParam().script);
    const auto session = start();
    ASSERT_FALSE(session);
    EXPECT_EQ(session.error().code, GetParam().code) << session.error().description();
    EXPECT_EQ(portal->seen().calls, GetParam().calls);
}

const Calls kStarted{"CreateSession", "SelectSources", "Start", "Session.Close"};
INSTANTIATE_TEST_SUITE_P(
    Answers, PortalRefusalTest,
    testing::Values(
        Refusal{"CreateCancelled", {.createCode = 1}, kUserDeclinedCode, {"CreateSession"}},
        Refusal{"SelectFailed",
                {.selectCode = 2},
                kPortalFailedCode,
                {"CreateSession", "SelectSources", "Session.Close"}},
        Refusal{"StartCancelled", {.startCode = 1}, kUserDeclinedCode, kStarted},
        Refusal{"StartFailed", {.startCode = 2}, kPortalFailedCode, kStarted},
        Refusal{"NoStream", {.streams = false}, kPortalFailedCode, kStarted}),
    [](const auto& info) { return info.param.name; });

// The options SelectSources carries, from what the portal offers.
struct Selection {
    std::string name;
    std::uint32_t version;
    std::uint32_t cursorModes;
    bool showCursor;
    std::optional<std::uint32_t> cursorSent;
    CursorMode cursorMode;
    bool persisted;  // persist_mode 2 and the restore token sent
};

void PrintTo(const Selection& selection, std::ostream* out) {
    *out << selection.name;
}
class PortalSelectionTest : public PortalTest, public testing::WithParamInterface<Selection> {};

TEST_P(PortalSelectionTest, SendsOnlyWhatThePortalOffers) {
    const Selection& s = GetParam();
    serve({.version = s.version, .cursorModes = s.cursorModes});
    const auto session = start({SourceType::monitor, s.showCursor, "earlier-token"});
    ASSERT_TRUE(session) << session.error().description();
    EXPECT_EQ(session.value()->cursorMode(), s.cursorMode);

    const auto seen = portal->seen();
    const auto sent = [&](const char* key) -> std::optional<std::uint32_t> {
        const auto it = seen.selected.find(key);
        return it == seen.selected.end() ? std::nullopt : std::optional(it->second);
    };
    EXPECT_EQ(sent("cursor_mode"), s.cursorSent);
    EXPECT_EQ(sent("persist_mode"), s.persisted ? std::optional(2u) : std::nullopt);
    EXPECT_EQ(seen.restoreToken, s.persisted ? std::optional("earlier-token") : std::nullopt);
}

using enum CursorMode;
INSTANTIATE_TEST_SUITE_P(Offers, PortalSelectionTest,
                         testing::Values(Selection{"Embedded", 5, 7, true, 2, embedded, true},
                                         Selection{"HiddenWanted", 5, 7, false, 1, hidden, true},
                                         Selection{"Metadata", 4, 5, true, 4, metadata, true},
                                         Selection{"OnlyHidden", 3, 1, true, 1, hidden, false},
                                         Selection{
                                             "HiddenNotOffered", 3, 6, false, {}, hidden, false},
                                         Selection{"NoModes", 1, 0, true, {}, hidden, false}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace ostrovane::test
