// The helper binary in a headless Wayland session, as a parent sees it: the
// outputs listed without asking anyone, a display filmed through the desktop
// portal and PipeWire and decoded to what is on it, the portal asked once
// per display, every loss reported as an event, and system audio without
// any X display.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "protocol/AudioProtocol.h"
#include "servers/PrivateWaylandSession.h"
#include "support/HelperScreenTest.h"
#include "support/ProcessTable.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint32_t kOrange = 0xFF8000, kTeal = 0x008080;
using Place = std::tuple<int, int, int, int>;  // x, y, width, height

class WaylandHelper : public HelperScreenTest {
  protected:
    void SetUp() override { start({}); }

    void start(PrivateWaylandSession::Options options) {
        session = std::make_unique<PrivateWaylandSession>(options);
        std::string failure;
        ASSERT_TRUE(session->ready(failure)) << failure;
        ASSERT_TRUE(session->sway(
            {"output", PrivateWaylandSession::kOutput, "bg", "#ff8000", "solid_color"}));
        session->startMovingContent();
        helper = std::make_unique<HelperProcess>(
            OSTROVANE_BINARY,
            HelperProcess::Context{session->environment(), session->uid(), session->gid()});
    }

    // The display records of the target list: name, place and id.
    std::vector<std::tuple<std::string, Place, std::uint64_t>> displays() {
        std::vector<std::tuple<std::string, Place, std::uint64_t>> out;
        for (const auto& item : listWindows()) {
            if (item.value("type", "") == "display")
                out.emplace_back(item.value("name", ""),
                                 Place(item.value("x", -1), item.value("y", -1),
                                       item.value("width", -1), item.value("height", -1)),
                                 item.value("id", std::uint64_t{0}));
        }
        return out;
    }

    fs::path tokenFile() const {
        for (const std::string& entry : session->environment()) {
            if (entry.rfind("XDG_STATE_HOME=", 0) == 0)
                return fs::path(entry.substr(15)) / "ostrovane" / "portal-tokens";
        }
        return {};
    }

    std::unique_ptr<PrivateWaylandSession> session;
};

TEST_F(WaylandHelper, VideoOfAnOutputShowsItAndKeepsItsRateWhenTheScreenIsStill) {
    EXPECT_EQ(startVideo("display", displayId(), 1920, 1080), "started");
    ASSERT_TRUE(waitForVideoFrames(15));
    auto first = decodeVideo(0, false);
    auto moving = decodeVideo(0, true);
    ASSERT_TRUE(first && moving);
    // Half the display's size, its paint in the middle.
    EXPECT_EQ(std::tie(first->width, first->height), std::make_tuple(640, 360));
    EXPECT_TRUE(nearColour(first->at(320, 200), kOrange)) << std::hex << first->at(320, 200);
    // The terminal in the corner prints the time: its pixels change.
    bool changed = false;
    for (int y = 0; y < 50 && !changed; ++y) {
        for (int x = 0; x < 150 && !changed; ++x)
            changed = first->at(x, y) != moving->at(x, y);
    }
    EXPECT_TRUE(changed);

    // A still screen sends the helper nothing; the stream goes on at its rate.
    ASSERT_TRUE(session->sway({"[app_id=\"foot\"]", "kill"}));
    ASSERT_TRUE(
        session->sway({"output", PrivateWaylandSession::kOutput, "bg", "#008080", "solid_color"}));
    // The compositor's last image (teal) reaches the video, however late a
    // loaded machine lets it come; from then on nothing new comes.
    std::optional<Picture> last;
    EXPECT_TRUE(waitUntil(
        [&] {
            last = decodeVideo(0, true);
            return last && nearColour(last->at(320, 200), kTeal);
        },
        15s, 200ms))
        << std::hex << (last ? last->at(320, 200) : 0);
    const std::size_t still = videoFrames().size();
    EXPECT_TRUE(waitForVideoFrames(still + 10, 0, 3s)) << "frames stopped on a still screen";
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
}

TEST_F(WaylandHelper, EveryStartSendsTheStoredGrantAndKeepsWhatThePortalReturns) {
    const std::uint64_t display = displayId();
    const auto filmBriefly = [&] {
        const std::size_t from = helper->errors().lines().size();
        EXPECT_EQ(startVideo("display", display), "started");
        EXPECT_TRUE(waitForVideoFrames(videoFrames().size() + 2));
        EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
        return helper->errors().lines().size() > from &&
               helper->errors()
                   .waitForLine(
                       "WaylandScreenCapture: asking the desktop portal for display "
                       "HEADLESS-1 with its stored grant",
                       from, 100ms)
                   .has_value();
    };
    EXPECT_FALSE(filmBriefly());
    const std::string granted = readProcessFile(tokenFile());
    ASSERT_NE(granted.find("display:HEADLESS-1"), std::string::npos) << granted;
    struct stat info {};
    ASSERT_EQ(::stat(tokenFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(filmBriefly());
    EXPECT_NE(readProcessFile(tokenFile()).find("display:HEADLESS-1"), std::string::npos);

    // A token the portal no longer knows is sent, and replaced by the new grant.
    std::ofstream(tokenFile()) << "display:HEADLESS-1\tspent-token\n";
    EXPECT_TRUE(filmBriefly());
    const std::string renewed = readProcessFile(tokenFile());
    EXPECT_NE(renewed.find("display:HEADLESS-1"), std::string::npos);
    EXPECT_EQ(renewed.find("spent-token"), std::string::npos) << renewed;
}

// The target list names each output with its place; a switch films the
// other one, and the user's pick is filmed as granted.
TEST_F(WaylandHelper, ASwitchFilmsTheOtherOutputAndTheUsersPickIsFilmedAsGranted) {
    const auto first = displays();
    ASSERT_EQ(first.size(), 1u) << listWindows().dump().substr(0, 300);
    EXPECT_EQ(std::get<0>(first[0]).rfind("HEADLESS-1", 0), 0u) << std::get<0>(first[0]);
    EXPECT_EQ(std::get<1>(first[0]), Place(0, 0, 1280, 720));
    ASSERT_TRUE(session->sway({"create_output"}));
    ASSERT_TRUE(session->sway({"output", "HEADLESS-2", "resolution", "800x600", "position", "1280",
                               "0", "bg", "#008080", "solid_color"}));
    const auto both = displays();
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(std::get<0>(both[1]).rfind("HEADLESS-2", 0), 0u) << std::get<0>(both[1]);
    EXPECT_EQ(std::get<1>(both[1]), Place(1280, 0, 800, 600));
    const std::uint64_t second = std::get<2>(both[1]);
    EXPECT_EQ(startVideo("display", displayId()), "started");
    ASSERT_TRUE(waitForVideoFrames(2));

    // The moving terminal goes along, so that the new output sends frames.
    ASSERT_TRUE(
        session->sway({"[app_id=\"foot\"]", "move", "container", "to", "output", "HEADLESS-2"}));
    ASSERT_TRUE(session->pickOutput("HEADLESS-2"));
    EXPECT_EQ(ask("SWITCH_VIDEO:{\"type\":\"display\",\"id\":" + std::to_string(second) + "}",
                  "CMD_RESPONSE:SWITCH_VIDEO:"),
              "switched");
    const std::size_t from = helper->outputBytes().size();
    ASSERT_TRUE(waitForVideoFrames(3, from));
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
    auto switched = decodeVideo(0, true);
    ASSERT_TRUE(switched);
    EXPECT_TRUE(nearColour(switched->at(250, 200), kTeal)) << std::hex << switched->at(250, 200);

    // Asked for the first output anew, the user grants the second: that is filmed.
    fs::remove(tokenFile());
    const std::size_t lines = helper->errors().lines().size();
    EXPECT_EQ(startVideo("display", displayId()), "started");
    EXPECT_TRUE(helper->errors().waitForLineMatching(
        [](const std::string& line) {
            return line.find("filming what the user granted") != std::string::npos;
        },
        lines));
}

// A capture that loses its portal or its compositor ends with an event; the
// helper stays and keeps answering.
struct LossCase {
    const char* name;
    void (PrivateWaylandSession::*kill)();
};
class WaylandHelperLoss : public WaylandHelper, public ::testing::WithParamInterface<LossCase> {};

TEST_P(WaylandHelperLoss, ACaptureThatLosesItsSourceEndsWithAnEvent) {
    EXPECT_EQ(startVideo("display", displayId()), "started");
    ASSERT_TRUE(waitForVideoFrames(2));
    const std::size_t from = helper->errors().lines().size();
    (session.get()->*GetParam().kill)();
    EXPECT_TRUE(helper->errors().waitForLineMatching(
        [](const std::string& line) { return line.rfind("EVENT:VIDEO_STREAM_ERROR:", 0) == 0; },
        from));
    EXPECT_NE(ask("HEALTH_CHECK", "CMD_RESPONSE:HEALTH_OK:"), "");
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");
    EXPECT_TRUE(helper->isRunning());
}

INSTANTIATE_TEST_SUITE_P(
    Sources, WaylandHelperLoss,
    ::testing::Values(LossCase{"PortalBackendKilled", &PrivateWaylandSession::killPortalBackend},
                      LossCase{"CompositorKilled", &PrivateWaylandSession::killCompositor}),
    [](const auto& info) { return std::string(info.param.name); });

// Stills without a dialog nobody asked for: a thumbnail needs a stored
// grant, a screenshot may ask, and a filmed display answers from its stream.
TEST_F(WaylandHelper, StillsShowTheOutputAndAThumbnailNeverAsksTheUser) {
    const auto thumbnailOf = [&](std::chrono::milliseconds* took = nullptr) {
        const auto start = std::chrono::steady_clock::now();
        const auto list = listWindows();
        if (took != nullptr)
            *took = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
        for (const auto& item : list) {
            if (item.value("type", "") == "display")
                return item.value("thumbnail", "");
        }
        return std::string("no display");
    };
    const auto portalRequests = [&] {
        std::size_t count = 0;
        for (const auto& line : helper->errors().lines())
            count += line.find("asking the desktop portal for display") != std::string::npos;
        return count;
    };
    const auto screenshot = [&] {
        return decodePng(ask("SCREENSHOT", "CMD_RESPONSE:SCREENSHOT_DATA:"));
    };

    // Not granted yet: the record goes out without a thumbnail, at once.
    std::chrono::milliseconds took{};
    EXPECT_EQ(thumbnailOf(&took), "");
    EXPECT_LT(took, 5s) << "the list waited for a dialog";
    EXPECT_EQ(portalRequests(), 0u);

    // A screenshot may ask; it shows the whole output at its size.
    auto shot = screenshot();
    ASSERT_TRUE(shot);
    EXPECT_EQ(std::tie(shot->width, shot->height), std::make_tuple(1280, 720));
    EXPECT_TRUE(nearColour(shot->at(900, 500), kOrange)) << std::hex << shot->at(900, 500);

    // Granted now: the thumbnail comes with the stored grant.
    const std::string prefix = "data:image/png;base64,";
    const std::string thumbnail = thumbnailOf();
    ASSERT_EQ(thumbnail.rfind(prefix, 0), 0u) << thumbnail.substr(0, 80);
    auto small = decodePng(thumbnail.substr(prefix.size()));
    ASSERT_TRUE(small);
    EXPECT_EQ(std::tie(small->width, small->height), std::make_tuple(240, 135));
    EXPECT_TRUE(nearColour(small->at(170, 100), kOrange)) << std::hex << small->at(170, 100);

    // A filmed display answers from its stream, without asking the portal.
    EXPECT_EQ(startVideo("display", displayId()), "started");
    ASSERT_TRUE(waitForVideoFrames(2));
    const std::size_t asked = portalRequests();
    ASSERT_TRUE(
        session->sway({"output", PrivateWaylandSession::kOutput, "bg", "#008080", "solid_color"}));
    std::optional<Picture> filmed;
    EXPECT_TRUE(waitUntil(
        [&] {
            filmed = screenshot();
            return filmed && nearColour(filmed->at(900, 500), kTeal);
        },
        5s))
        << std::hex << (filmed ? filmed->at(900, 500) : 0);
    ASSERT_TRUE(filmed);
    EXPECT_EQ(std::tie(filmed->width, filmed->height), std::make_tuple(1280, 720));
    EXPECT_EQ(portalRequests(), asked);
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "stopped");

    // Nothing moves any more: the cast of a thumbnail gets no image, and the
    // display is shown as last seen.
    ASSERT_TRUE(session->sway({"[app_id=\"foot\"]", "kill"}));
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto list = listWindows();
            return std::none_of(list.begin(), list.end(), [](const auto& item) {
                return item.value("type", "") == "window";
            });
        },
        5s));
    const std::string still = thumbnailOf();
    ASSERT_EQ(still.rfind(prefix, 0), 0u) << still.substr(0, 80);
    small = decodePng(still.substr(prefix.size()));
    ASSERT_TRUE(small);
    EXPECT_TRUE(nearColour(small->at(170, 100), kTeal)) << std::hex << small->at(170, 100);
}

// Without a portal, a start answers that it is missing; system audio needs
// neither the portal nor an X display.
class WaylandHelperWithoutPortal : public WaylandHelper {
  protected:
    void SetUp() override { start({.portal = false, .pulse = true}); }
};

TEST_F(WaylandHelperWithoutPortal, AStartAnswersThatThePortalIsMissingAndSystemAudioStreams) {
    const std::string answer = startVideo("display", displayId());
    EXPECT_TRUE(std::regex_search(answer, std::regex("^error:.*portal is not available")))
        << answer;
    EXPECT_NE(ask("HEALTH_CHECK", "CMD_RESPONSE:HEALTH_OK:"), "");

    EXPECT_EQ(ask("START_STREAMING", "CMD_RESPONSE:STREAMING:"), "started");
    const auto systemFrames = [&] {
        protocol::FrameReader reader;
        reader.feed(helper->outputBytes());
        std::size_t count = 0;
        for (protocol::Frame frame; reader.next(frame) == protocol::ReadStatus::frame;)
            count += frame.type == protocol::AudioProtocol::FrameType::system ? 1 : 0;
        return count;
    };
    EXPECT_TRUE(waitUntil([&] { return systemFrames() >= 10; }, 10s, 50ms));
    EXPECT_EQ(ask("STOP_STREAMING", "CMD_RESPONSE:STREAMING:"), "stopped");
}

}  // namespace
}  // namespace ostrovane::test
