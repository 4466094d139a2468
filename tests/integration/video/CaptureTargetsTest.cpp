#include "integration/video/VideoFixture.h"
#include "support/JsonRecords.h"
#include "video/CaptureTargets.h"

namespace ostrovane::test {
namespace {

using nlohmann::json;
using platform::OwningApplication;
using platform::Window;
using test::HoldsFields;

class CaptureTargets : public VideoFixture {
  protected:
    // A main 1512 × 982-point display at 2 pixels per point, and a second
    // display the window system lists no screen for.
    CaptureTargets() {
        world.screen().removeDisplay(1);
        world.screen().addDisplay({.id = 1,
                                   .width = 1512,
                                   .height = 982,
                                   .frame = {0, 0, 1512, 982},
                                   .pointPixelScale = 2,
                                   .screenName = "Built-in Display",
                                   .isMain = true});
        world.screen().addDisplay({.id = 2, .frame = {1512, 0, 1920, 1080}, .screenName = {}});
    }

    json list() {
        const std::string answer = ask("LIST_WINDOWS");
        EXPECT_TRUE(answer.starts_with("LIST_WINDOWS:")) << answer;
        return json::parse(answer.substr(13));
    }
};

TEST_F(CaptureTargets, ListsDisplaysThenRecognisableWindowsWithThumbnails) {
    const OwningApplication editor{"Editor", "org.example.editor", 400};
    const OwningApplication dock{"Dock", "com.apple.dock", 401};
    auto& s = world.screen();
    s.addWindow({10, "Draft", {100, 100, 101, 101}, editor});
    s.addWindow({11, "Narrow", {0, 0, 100, 400}, editor});
    s.addWindow({12, "", {0, 0, 300, 300}, editor});
    s.addWindow({13, "Dock", {0, 0, 300, 300}, dock});
    s.addWindow({15, "Display 1 Backstop notes", {0, 100, 300, 500}, std::nullopt});
    s.addWindow({16, "Unrenderable", {0, 0, 300, 300}, editor});
    s.failScreenshotsOf(16);
    Window hidden{17, "Hidden", {0, 0, 300, 300}, editor};
    hidden.isOnScreen = false;
    s.addWindow(hidden);
    // Only "Display <digits> Backstop" is the window system's own backstop.
    std::uint32_t id = 20;
    for (const char* title :
         {"Display 1 Backstop", "Display 12 Backstop", "Display  Backstop", "Display Backstop",
          "Display 1a Backstop", "display 1 Backstop", "Display 1 Backstop ", "Backstop"})
        s.addWindow({id++, title, {0, 0, 300, 300}, std::nullopt});

    const json targets = list();
    std::vector<std::uint32_t> ids;
    for (const json& t : targets)
        ids.push_back(t["id"]);
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 10, 15, 16, 22, 23, 24, 25, 26, 27}));

    EXPECT_THAT(targets[0], HoldsFields(json{{"name", "Built-in Display  (1512\u00d7982, Primary)"},
                                             {"appName", ""}}));
    EXPECT_THAT(
        targets[1],
        HoldsFields(json{{"name", "Display 2  (1920\u00d71080)"}, {"x", 1512}, {"y", 982 - 1080}}));
    json window = targets[2];
    window.erase("thumbnail");  // decoded below
    EXPECT_EQ(window, json::parse(R"({"type": "window", "id": 10, "name": "Draft",
        "appName": "Editor", "bundleId": "org.example.editor", "width": 101, "height": 101,
        "x": 100, "y": 781})"));
    EXPECT_THAT(targets[3], HoldsFields(json{{"appName", ""}, {"bundleId", ""}, {"y", 382}}));

    // A 3024-pixel-wide display gives a 240-wide thumbnail; a window that
    // cannot be rendered has none, and the others keep theirs.
    EXPECT_EQ(pngSize(targets[0]["thumbnail"].get<std::string>()), std::pair(240u, 155u));
    EXPECT_TRUE(targets[2]["thumbnail"].get<std::string>().starts_with("data:image/png;base64,"));
    EXPECT_FALSE(targets[4].contains("thumbnail"));
}

TEST_F(CaptureTargets, AFailedQueryGivesAnEmptyList) {
    world.screen().failShareableContent(platform::Error{"SCStreamErrorDomain", -3801, "No"});
    EXPECT_EQ(ask("LIST_WINDOWS"), "LIST_WINDOWS:[]");
}

TEST(ThumbnailSize, IsNeverEnlargedNorSmallerThan64By48) {
    struct Case {
        platform::Rect content;
        double scale;
        std::int64_t width, height;
    };
    for (const Case& c : {Case{{0, 0, 1512, 982}, 2, 240, 155}, Case{{0, 0, 100, 50}, 1, 100, 50},
                          Case{{0, 0, 50, 20}, 1, 64, 48}, Case{{0, 0, 0, 0}, 1, 64, 48}}) {
        const platform::ContentFilter filter{platform::Display{}, c.content, c.scale};
        const auto configuration = video::thumbnailConfiguration(filter, 240);
        EXPECT_EQ(std::pair(configuration.width, configuration.height),
                  std::pair(c.width, c.height));
        EXPECT_FALSE(configuration.showsCursor);
    }
}

TEST_F(VideoFixture, ScreenshotIsThePngOfTheFirstDisplayOrALogLine) {
    EXPECT_EQ(pngSize(ask("SCREENSHOT").substr(16)), std::pair(1920u, 1080u));

    world.screen().failScreenshot(platform::Error{"SCStreamErrorDomain", -3801, "Denied"});
    app.send("SCREENSHOT");
    EXPECT_TRUE(hasLine(
        R"(ERROR: Failed to capture screenshot: Error Domain=SCStreamErrorDomain Code=-3801 "Denied")"));
    world.screen().removeDisplay(1);
    app.send("SCREENSHOT");
    EXPECT_TRUE(hasLine("ERROR: No displays found for screenshot"));
    EXPECT_EQ(ask("HEALTH_CHECK", "HEALTH_OK:").substr(0, 10), "HEALTH_OK:");
    for (const auto& line : app.lines())
        EXPECT_FALSE(line.starts_with("CMD_RESPONSE:SCREENSHOT_DATA:") && line.size() < 40);
}

}  // namespace
}  // namespace ostrovane::test
