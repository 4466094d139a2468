#include "support/HelperScreenTest.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/encoding/Base64.h"
#include "support/ToolOutput.h"
#include "support/WaitUntil.h"

namespace ostrovane::test {

namespace fs = std::filesystem;
using json = nlohmann::json;

bool nearColour(std::uint32_t a, std::uint32_t b, int tolerance) {
    for (int shift : {0, 8, 16}) {
        if (std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) > tolerance)
            return false;
    }
    return true;
}

void HelperScreenTest::TearDown() {
    for (const auto& path : files_)
        fs::remove(path);
    // What the helper said last tells why a real-server test failed.
    if (HasFailure() && helper) {
        const auto lines = helper->errors().lines();
        std::string tail;
        for (std::size_t i = lines.size() > 40 ? lines.size() - 40 : 0; i < lines.size(); ++i)
            tail += lines[i].substr(0, 300) + "\n";
        ADD_FAILURE() << "the helper's last lines:\n" << tail;
    }
}

fs::path HelperScreenTest::file(const std::string& name) {
    files_.push_back(fs::temp_directory_path() /
                     ("ostrovane-screen-" + std::to_string(::getpid()) + "-" + name));
    return files_.back();
}

std::string HelperScreenTest::ask(const std::string& command, const std::string& prefix) {
    const std::size_t from = helper->errors().lines().size();
    helper->sendLine(command);
    const auto rest = helper->errors().waitForRest(prefix, from);
    if (!rest)
        ADD_FAILURE() << command << ": no line beginning " << prefix;
    return rest.value_or("");
}

json HelperScreenTest::listWindows() {
    return json::parse(ask("LIST_WINDOWS", "CMD_RESPONSE:LIST_WINDOWS:"), nullptr, false);
}

std::uint64_t HelperScreenTest::displayId() {
    for (const auto& item : listWindows()) {
        if (item.value("type", "") == "display")
            return item.value("id", std::uint64_t{0});
    }
    return 0;
}

std::optional<Picture> HelperScreenTest::decode(const fs::path& path, bool lastFrame) {
    auto size = toolOutput({kFfprobe, "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "stream=width,height", "-of", "csv=p=0", path.string()});
    Picture picture;
    char comma = 0;
    if (!size || !(std::istringstream(*size) >> picture.width >> comma >> picture.height))
        return std::nullopt;
    auto rgb = toolOutput(
        {kFfmpeg, "-v", "error", "-i", path.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    const std::size_t frameBytes = std::size_t(picture.width) * picture.height * 3;
    if (!rgb || rgb->size() < frameBytes)
        return std::nullopt;
    picture.rgb = lastFrame ? rgb->substr(rgb->size() - frameBytes) : rgb->substr(0, frameBytes);
    return picture;
}

std::optional<Picture> HelperScreenTest::decodePng(const std::string& base64) {
    const fs::path path = file(std::to_string(files_.size()) + ".png");
    const auto bytes = platform::base64Decode(base64);
    if (!bytes)
        return std::nullopt;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes->data()), std::streamsize(bytes->size()));
    return decode(path);
}

std::vector<protocol::Frame> HelperScreenTest::videoFrames(std::size_t from) {
    protocol::FrameReader reader;
    reader.feed(helper->outputBytes());
    std::vector<protocol::Frame> frames;
    for (protocol::Frame frame; reader.next(frame) == protocol::ReadStatus::frame;) {
        if (frame.isVideo() && frame.offset >= from)
            frames.push_back(frame);
    }
    return frames;
}

bool HelperScreenTest::waitForVideoFrames(std::size_t count, std::size_t from,
                                          std::chrono::milliseconds limit) {
    return waitUntil([&] { return videoFrames(from).size() >= count; }, limit,
                     std::chrono::milliseconds(50));
}

std::optional<Picture> HelperScreenTest::decodeVideo(std::size_t from, bool lastFrame) {
    const fs::path path = file(std::to_string(files_.size()) + ".h264");
    std::ofstream out(path, std::ios::binary);
    for (const auto& frame : videoFrames(from))
        out.write(reinterpret_cast<const char*>(frame.payload.data()),
                  std::streamsize(frame.payload.size()));
    out.close();
    return decode(path, lastFrame);
}

std::string HelperScreenTest::startVideo(const std::string& type, std::uint64_t id, int width,
                                         int height) {
    return ask("START_VIDEO:{\"type\":\"" + type + "\",\"id\":" + std::to_string(id) +
                   ",\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
                   "}",
               "CMD_RESPONSE:START_VIDEO:");
}

}  // namespace ostrovane::test
