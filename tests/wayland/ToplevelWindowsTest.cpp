// Toplevels as the windows of the target list, without a compositor: which
// frame, owner and on-screen state each gets.
#include <gtest/gtest.h>

#include "platform/wayland/ToplevelWindows.h"

namespace ostrovane::platform::wayland {
namespace {

// Two outputs side by side: the main one (id 3) first, as displaysOf lists them.
const std::vector<Display> kDisplays{{3, 1280, 720, Rect{0, 0, 1280, 720}},
                                     {7, 800, 600, Rect{1280, 120, 800, 600}}};

std::optional<OwningApplication> installed(const std::string& appId) {
    if (appId == "foot")
        return OwningApplication{"Foot", "foot", 0};
    return std::nullopt;
}

struct Case {
    const char* what;
    WaylandToplevel toplevel;
    bool onScreenOnly;
    std::optional<Window> expected;
};

TEST(ToplevelWindows, FrameOwnerAndVisibility) {
    const OwningApplication foot{"Foot", "foot", 0};
    // clang-format off
    const std::vector<Case> cases{
        {"the first output entered frames it", {0x10000, "a", "foot", "", {7, 3}, false}, true,
         Window{0x10000, "a", kDisplays[1].frame, foot, true, false}},
        {"an output that is gone is skipped", {0x10001, "b", "foot", "", {9, 3}, false}, true,
         Window{0x10001, "b", kDisplays[0].frame, foot, true, false}},
        {"no output told: the main display", {0x10002, "c", "foot", "", {}, false}, true,
         Window{0x10002, "c", kDisplays[0].frame, foot, true, false}},
        {"an app_id of no application names it", {0x10003, "d", "tool", "", {3}, false}, true,
         Window{0x10003, "d", kDisplays[0].frame, OwningApplication{"tool", "", 0}, true, false}},
        {"no app_id, no title", {0x10004, "", "", "", {3}, false}, true,
         Window{0x10004, std::nullopt, kDisplays[0].frame, std::nullopt, true, false}},
        {"minimized: left out of on-screen windows", {0x10005, "e", "foot", "", {3}, true}, true,
         std::nullopt},
        {"bytes that are not UTF-8 are replaced", {0x10007, "t\xff", "a\xc3", "", {3}, false},
         true, Window{0x10007, "t\xEF\xBF\xBD", kDisplays[0].frame,
                      OwningApplication{"a\xEF\xBF\xBD", "", 0}, true, false}},
        {"minimized: listed as off screen", {0x10006, "f", "foot", "", {3}, true}, false,
         Window{0x10006, "f", kDisplays[0].frame, foot, false, false}},
    };
    // clang-format on
    for (const Case& c : cases) {
        const auto windows = windowsOf({c.toplevel}, kDisplays, installed, {false, c.onScreenOnly});
        ASSERT_EQ(windows.size(), c.expected ? 1u : 0u) << c.what;
        if (c.expected) {
            EXPECT_EQ(windows[0], *c.expected) << c.what;
        }
    }
}

}  // namespace
}  // namespace ostrovane::platform::wayland
