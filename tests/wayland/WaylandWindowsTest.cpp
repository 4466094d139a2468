// The windows of a headless Wayland session in the helper's target list, as
// a parent sees them: each terminal under its title, owned by the
// application its desktop entry names, with an id that stays while the
// window lives; and filmed only where the portal offers windows, which the
// rig's does not.
#include <map>

#include "servers/PrivateWaylandSession.h"
#include "support/HelperScreenTest.h"

namespace ostrovane::test {
namespace {

class WaylandWindows : public HelperScreenTest {
  protected:
    void SetUp() override {
        session = std::make_unique<PrivateWaylandSession>(PrivateWaylandSession::Options{});
        std::string failure;
        ASSERT_TRUE(session->ready(failure)) << failure;
        helper = std::make_unique<HelperProcess>(
            OSTROVANE_BINARY,
            HelperProcess::Context{session->environment(), session->uid(), session->gid()});
    }

    // The window records of the target list by title, and the whole list
    // for failure messages.
    std::map<std::string, nlohmann::json> windows(std::string& listed) {
        displayThumbnail.reset();
        const nlohmann::json targets = listWindows();
        listed = targets.dump().substr(0, 1500);
        std::map<std::string, nlohmann::json> out;
        for (const auto& item : targets) {
            if (item.value("type", "") == "window")
                out[item.value("name", "")] = item;
            else if (const std::string t = item.value("thumbnail", ""); t.size() > 22)
                displayThumbnail = decodePng(t.substr(22));  // after "data:image/png;base64,"
        }
        return out;
    }

    std::unique_ptr<PrivateWaylandSession> session;
    std::optional<Picture> displayThumbnail;  // of the last listing
};

TEST_F(WaylandWindows, TerminalsAreListedWithTheirOwnerAndKeepTheirIdsUntilClosed) {
    const std::string left = "ostrovane-left", right = "ostrovane-right";
    ASSERT_TRUE(session->openTerminal(left));
    // One that prints the time, so that the output keeps sending images.
    ASSERT_TRUE(
        session->openTerminal(right, {"sh", "-c", "while :; do date +%T.%N; sleep 0.02; done"}));
    const std::uint64_t display = displayId();
    ASSERT_NE(display, 0u);

    // The output granted by a screenshot: its record has a thumbnail.
    ASSERT_FALSE(ask("SCREENSHOT", "CMD_RESPONSE:SCREENSHOT_DATA:").empty());
    std::string listed;
    const auto first = windows(listed);
    ASSERT_TRUE(displayThumbnail) << listed;
    ASSERT_EQ(first.size(), 2u) << listed;
    for (const std::string& title : {left, right}) {
        ASSERT_EQ(first.count(title), 1u) << listed;
        const nlohmann::json& record = first.at(title);
        EXPECT_NE(record.value("id", std::uint64_t{0}), 0u) << listed;
        EXPECT_NE(record.value("id", std::uint64_t{0}), display) << listed;
        // Debian's foot installs foot.desktop, Name=Foot; foot's app_id is "foot".
        EXPECT_EQ(record.value("appName", ""), "Foot") << listed;
        EXPECT_EQ(record.value("bundleId", ""), "foot") << listed;
        // Framed by the output they show on.
        EXPECT_EQ(std::make_tuple(record.value("x", -1), record.value("y", -1),
                                  record.value("width", -1), record.value("height", -1)),
                  std::make_tuple(0, 0, 1280, 720))
            << listed;
    }
    // Window thumbnails would need the portal's picker: none.
    EXPECT_FALSE(first.at(left).contains("thumbnail")) << listed;
    const auto leftId = first.at(left).value("id", std::uint64_t{0});
    const auto rightId = first.at(right).value("id", std::uint64_t{0});
    EXPECT_NE(leftId, rightId);

    const auto again = windows(listed);
    ASSERT_EQ(again.size(), 2u) << listed;
    EXPECT_EQ(again.at(left).value("id", std::uint64_t{0}), leftId);
    EXPECT_EQ(again.at(right).value("id", std::uint64_t{0}), rightId);

    ASSERT_TRUE(session->closeWindow(left));
    const auto after = windows(listed);
    EXPECT_EQ(after.count(left), 0u) << listed;
    ASSERT_EQ(after.count(right), 1u) << listed;
    EXPECT_EQ(after.at(right).value("id", std::uint64_t{0}), rightId);

    // This portal offers monitors only: a window cannot be filmed.
    const std::string answer = startVideo("window", rightId);
    EXPECT_EQ(answer.rfind("error:", 0), 0u) << answer;
    EXPECT_NE(answer.find("The desktop portal offers no window capture"), std::string::npos)
        << answer;
    EXPECT_EQ(ask("STOP_VIDEO", "CMD_RESPONSE:STOP_VIDEO:"), "not_active");
}

}  // namespace
}  // namespace ostrovane::test
