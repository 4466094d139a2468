// A thumbnail and a still of each display of the Wayland session, taken as
// the helper takes them but with the compositor's copy switched off, so that
// a display whose cast sends nothing shows how long each waited for it. One
// line per answer on standard output: "<kind> <display id>: <WxH or error>".
#include <cstdio>
#include <string>

#include "dispatch/SystemClock.h"
#include "platform/wayland/WaylandDisplays.h"
#include "video/CaptureTargets.h"
#include "video/ContentQuery.h"

int main() {
    using namespace ostrovane;
    dispatch::SystemClock clock;
    platform::wayland::WaylandDisplays::Options options;
    options.compositorCopy = false;
    auto displays = platform::wayland::WaylandDisplays::connect(clock, std::move(options));
    if (!displays)
        return 1;
    const auto content = video::queryShareableContent(*displays, {false, true});
    if (!content)
        return 1;
    for (const platform::Display& display : content->displays) {
        const platform::ContentFilter filter = displays->makeFilter(display);
        platform::StreamConfiguration thumbnail =
            video::thumbnailConfiguration(filter, video::kThumbnailWidth);
        platform::StreamConfiguration still = thumbnail;
        still.mayAskUser = true;
        for (const auto& [kind, configuration] :
             {std::pair{"thumbnail", thumbnail}, {"still", still}}) {
            const auto image = video::takeScreenshot(*displays, filter, configuration);
            const std::string answer =
                image ? std::to_string(image->width()) + "x" + std::to_string(image->height())
                      : image.error().localizedDescription();
            std::printf("%s %llu: %s\n", kind, static_cast<unsigned long long>(display.displayId),
                        answer.c_str());
        }
    }
    return 0;
}
