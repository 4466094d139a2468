#include "video/CaptureTargets.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "platform/encoding/Base64.h"
#include "platform/image/PngEncoder.h"
#include "util/ThreadAnnotations.h"
#include "video/ContentQuery.h"

namespace ostrovane::video {

namespace {

using nlohmann::json;

constexpr std::array<std::string_view, 4> kExcludedApplications{"WindowManager", "Wallpaper",
                                                                "Dock", "Notification Center"};

std::int64_t truncated(double value) {
    // Frames come from the window system; anything outside the 64-bit range
    // is nonsense and must not be undefined behaviour.
    if (!(value > -9.2e18 && value < 9.2e18))
        return 0;
    return static_cast<std::int64_t>(value);
}

// Screens by number, the main screen's number, and the primary height.
struct ScreenFacts {
    std::map<std::uint32_t, platform::Screen> byNumber;
    std::optional<std::uint32_t> mainNumber;
    double primaryHeight = 0;
};

ScreenFacts screenFacts(const platform::ScreenList& list) {
    ScreenFacts facts;
    for (const platform::Screen& screen : list.screens) {
        if (screen.screenNumber)
            facts.byNumber.emplace(*screen.screenNumber, screen);
    }
    const platform::Screen* main = nullptr;
    if (list.mainScreen && *list.mainScreen < list.screens.size())
        main = &list.screens[*list.mainScreen];
    if (main)
        facts.mainNumber = main->screenNumber;
    const auto atOrigin = std::find_if(list.screens.begin(), list.screens.end(), [](const auto& s) {
        return s.frame.x == 0 && s.frame.y == 0;
    });
    if (atOrigin != list.screens.end())
        facts.primaryHeight = atOrigin->frame.height;
    else if (main)
        facts.primaryHeight = main->frame.height;
    return facts;
}

json displayRecord(const platform::Display& display, const ScreenFacts& facts) {
    const auto screen = facts.byNumber.find(display.displayId);
    const std::string base = screen != facts.byNumber.end()
                                 ? screen->second.localizedName
                                 : "Display " + std::to_string(display.displayId);
    const bool primary = facts.mainNumber && *facts.mainNumber == display.displayId;
    return json{
        {"type", "display"},
        {"id", display.displayId},
        {"name", base + "  (" + std::to_string(display.width) + "\u00d7" +
                     std::to_string(display.height) + (primary ? ", Primary" : "") + ")"},
        {"appName", ""},
        {"width", display.width},
        {"height", display.height},
        {"x", truncated(display.frame.x)},
        {"y", truncated(facts.primaryHeight - display.frame.y - display.frame.height)},
    };
}

bool isListed(const platform::Window& window) {
    if (!window.title || window.title->empty())
        return false;
    if (!(window.frame.width > 100 && window.frame.height > 100))
        return false;
    const std::string appName =
        window.owningApplication ? window.owningApplication->applicationName : "";
    if (std::find(kExcludedApplications.begin(), kExcludedApplications.end(), appName) !=
        kExcludedApplications.end())
        return false;
    return !isBackstopTitle(*window.title);
}

json windowRecord(const platform::Window& window, const ScreenFacts& facts) {
    const auto& app = window.owningApplication;
    return json{
        {"type", "window"},
        {"id", window.windowId},
        {"name", window.title.value_or("")},
        {"appName", app ? app->applicationName : ""},
        {"bundleId", app ? app->bundleIdentifier : ""},
        {"width", truncated(window.frame.width)},
        {"height", truncated(window.frame.height)},
        {"x", truncated(window.frame.x)},
        {"y", truncated(facts.primaryHeight - window.frame.y - window.frame.height)},
    };
}

std::string recordKey(const json& record) {
    const std::string type = record.value("type", "");
    const std::uint64_t id = record.value("id", std::uint64_t{0});
    return type + ":" + std::to_string(id);
}

std::optional<std::string> thumbnailOf(const platform::Result<platform::Image>& image) {
    if (!image)
        return std::nullopt;
    const std::vector<std::uint8_t> png = platform::encodePng(image.value());
    if (png.empty())
        return std::nullopt;
    return "data:image/png;base64," + platform::base64Encode(png);
}

// The thumbnails of one listing, filled in as their screenshots complete
// (on platform threads, in any order) and read once all have, or the wait
// is over. Shared with the completions, which may outlive the wait.
struct ThumbnailBatch {
    util::Mutex mutex;
    std::condition_variable done;
    std::map<std::string, std::string> _thumbnails GUARDED_BY(mutex);
    std::size_t _pending GUARDED_BY(mutex) = 0;
};

}  // namespace

bool isBackstopTitle(const std::string& title) {
    constexpr std::string_view head = "Display ";
    constexpr std::string_view tail = " Backstop";
    if (title.size() <= head.size() + tail.size() || !title.starts_with(head) ||
        !title.ends_with(tail))
        return false;
    const std::string_view digits =
        std::string_view(title).substr(head.size(), title.size() - head.size() - tail.size());
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

platform::StreamConfiguration thumbnailConfiguration(const platform::ContentFilter& filter,
                                                     std::int64_t maxWidth) {
    const double scale = filter.pointPixelScale;
    const std::int64_t pixelWidth =
        std::max<std::int64_t>(truncated(filter.contentRect.width * scale), 1);
    const std::int64_t pixelHeight =
        std::max<std::int64_t>(truncated(filter.contentRect.height * scale), 1);
    const double ratio =
        std::min(static_cast<double>(maxWidth) / static_cast<double>(pixelWidth), 1.0);
    platform::StreamConfiguration configuration;
    configuration.width =
        std::max<std::int64_t>(truncated(static_cast<double>(pixelWidth) * ratio), 64);
    configuration.height =
        std::max<std::int64_t>(truncated(static_cast<double>(pixelHeight) * ratio), 48);
    configuration.showsCursor = false;
    configuration.pixelFormat = platform::PixelFormat::bgra32;
    configuration.scalesToFit = true;
    configuration.mayAskUser = false;
    return configuration;
}

std::optional<std::string> captureCaptureTargetThumbnail(platform::ScreenCapture& screenCapture,
                                                         const platform::ContentFilter& filter,
                                                         std::int64_t maxWidth) {
    return thumbnailOf(
        takeScreenshot(screenCapture, filter, thumbnailConfiguration(filter, maxWidth)));
}

json listCaptureTargets(platform::ScreenCapture& screenCapture, const protocol::TextChannel& text) {
    constexpr platform::ShareableContentOptions options{false, true};
    json targets = json::array();
    const ScreenFacts facts = screenFacts(screenCapture.screens());
    const auto content = queryShareableContent(screenCapture, options);
    if (!content) {
        text.logToStderr("listCaptureTargets: error: " + content.error().description());
    } else {
        for (const platform::Display& display : content->displays)
            targets.push_back(displayRecord(display, facts));
        for (const platform::Window& window : content->windows) {
            if (isListed(window))
                targets.push_back(windowRecord(window, facts));
        }
    }

    const auto again = queryShareableContent(screenCapture, options);
    if (!again) {
        text.logToStderr("listCaptureTargets thumbnails: error: " + again.error().description());
        return targets;
    }
    std::map<std::string, platform::ContentFilter> filters;
    for (const platform::Display& display : again->displays)
        filters.emplace("display:" + std::to_string(display.displayId),
                        screenCapture.makeFilter(display));
    for (const platform::Window& window : again->windows)
        filters.emplace("window:" + std::to_string(window.windowId),
                        screenCapture.makeFilter(window));

    // Every screenshot is asked for at once; the service answers them
    // concurrently and each completion encodes its own PNG.
    auto batch = std::make_shared<ThumbnailBatch>();
    std::vector<std::pair<std::string, const platform::ContentFilter*>> wanted;
    for (const json& record : targets) {
        const std::string key = recordKey(record);
        if (auto it = filters.find(key); it != filters.end())
            wanted.emplace_back(key, &it->second);
    }
    {
        util::MutexLock lock(batch->mutex);
        batch->_pending = wanted.size();
    }
    for (const auto& [key, filter] : wanted) {
        screenCapture.screenshot(
            *filter, thumbnailConfiguration(*filter, kThumbnailWidth),
            [batch, key = key](const platform::Result<platform::Image>& image) {
                std::optional<std::string> thumbnail = thumbnailOf(image);
                util::MutexLock lock(batch->mutex);
                if (thumbnail)
                    batch->_thumbnails.emplace(key, std::move(*thumbnail));
                if (--batch->_pending == 0)
                    batch->done.notify_all();
            });
    }
    std::map<std::string, std::string> thumbnails;
    {
        util::MutexLock lock(batch->mutex);
        lock.waitFor(batch->done, kServiceAnswerLimit,
                     [&]() REQUIRES(batch->mutex) { return batch->_pending == 0; });
        thumbnails = batch->_thumbnails;
    }
    for (json& record : targets) {
        if (auto it = thumbnails.find(recordKey(record)); it != thumbnails.end())
            record["thumbnail"] = it->second;
    }
    return targets;
}

}  // namespace ostrovane::video
