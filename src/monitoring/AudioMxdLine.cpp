#include "monitoring/AudioMxdLine.h"

#include <charconv>
#include <nlohmann/json.hpp>

namespace ostrovane::monitoring {
namespace {

// The pid is "(digits)" at the very end of the raw name.
std::optional<AudioMxdEvent> splitSessionName(const std::string& raw, bool inputRunning) {
    if (raw.size() < 3 || raw.back() != ')')
        return std::nullopt;
    const std::size_t close = raw.size() - 1;
    std::size_t first = close;
    while (first > 0 && raw[first - 1] >= '0' && raw[first - 1] <= '9')
        --first;
    if (first == close || first == 0 || raw[first - 1] != '(')
        return std::nullopt;
    std::int32_t pid = 0;
    const auto [end, error] = std::from_chars(raw.data() + first, raw.data() + close, pid);
    if (error != std::errc() || end != raw.data() + close)
        return std::nullopt;
    return AudioMxdEvent{raw.substr(0, first - 1), pid, inputRunning};
}

}  // namespace

std::optional<AudioMxdEvent> parseAudioMxdLog(std::string_view line) {
    const auto brace = line.find('{');
    if (brace == std::string_view::npos)
        return std::nullopt;
    const auto json = nlohmann::json::parse(line.substr(brace), nullptr, false);
    if (!json.is_object())
        return std::nullopt;
    const auto session = json.find("session");
    if (session == json.end() || !session->is_object())
        return std::nullopt;
    const auto name = session->find("name");
    if (name == session->end() || !name->is_string())
        return std::nullopt;
    const auto details = json.find("details");
    if (details == json.end() || !details->is_object())
        return std::nullopt;
    const auto running = details->find("input_running");
    if (running == details->end() || !running->is_boolean())
        return std::nullopt;
    return splitSessionName(name->get<std::string>(), running->get<bool>());
}

bool isLogToolChatter(std::string_view line) {
    return line.find("Filtering") != std::string_view::npos ||
           line.find("Timestamp") != std::string_view::npos;
}

}  // namespace ostrovane::monitoring
