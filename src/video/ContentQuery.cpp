#include "video/ContentQuery.h"

#include <future>
#include <memory>

namespace ostrovane::video {

namespace {

template <class T, class Start>
platform::Result<T> awaitAnswer(Start start) {
    // The promise is shared with the completion, which may arrive after the
    // wait gave up.
    auto promise = std::make_shared<std::promise<platform::Result<T>>>();
    auto answer = promise->get_future();
    start([promise](platform::Result<T> result) { promise->set_value(std::move(result)); });
    if (answer.wait_for(kServiceAnswerLimit) != std::future_status::ready)
        return serviceTimeoutError();
    return answer.get();
}

}  // namespace

platform::Error serviceTimeoutError() {
    return platform::Error{"Ostrovane", -1, "The screen-capture service did not answer in time"};
}

platform::Result<platform::ShareableContent> queryShareableContent(
    platform::ScreenCapture& screenCapture, const platform::ShareableContentOptions& options) {
    return awaitAnswer<platform::ShareableContent>(
        [&](auto completion) { screenCapture.shareableContent(options, std::move(completion)); });
}

platform::Result<platform::Image> takeScreenshot(
    platform::ScreenCapture& screenCapture, const platform::ContentFilter& filter,
    const platform::StreamConfiguration& configuration) {
    return awaitAnswer<platform::Image>([&](auto completion) {
        screenCapture.screenshot(filter, configuration, std::move(completion));
    });
}

}  // namespace ostrovane::video
