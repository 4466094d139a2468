#include "audiolog/AudioLogLine.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace ostrovane::tools {

namespace {

// Replaces the first letter of each `word` in `json` with its \u escape. Only
// string contents can hold the words (the keys are fixed), and an escape never
// contains an upper-case letter, so the result parses to the same value.
void escapeWord(std::string& json, std::string_view word, std::string_view escaped) {
    for (std::size_t at = json.find(word); at != std::string::npos;
         at = json.find(word, at + escaped.size())) {
        json.replace(at, 1, escaped);
    }
}

}  // namespace

std::string eventJson(const InputEvent& event) {
    const std::string name = event.name.empty() ? "unknown" : event.name;
    const nlohmann::ordered_json object = {
        {"session", {{"name", name + "(" + std::to_string(event.pid) + ")"}}},
        {"details", {{"input_running", event.running}}},
    };
    // Names come from other programs: ill-formed UTF-8 is replaced, not thrown.
    std::string json =
        object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    escapeWord(json, "Filtering", "\\u0046");
    escapeWord(json, "Timestamp", "\\u0054");
    return json;
}

std::string formatLogLine(const InputEvent& event, std::chrono::system_clock::time_point when,
                          LineWriter writer) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char prefix[160];
    std::snprintf(prefix, sizeof prefix,
                  "%04d-%02d-%02d %02d:%02d:%02d.%03d Df ostrovane-audio-log[%d:%d] "
                  "[pulse:source-output] ",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<int>(millis < 0 ? millis + 1000 : millis),
                  writer.pid, writer.thread);
    return prefix + eventJson(event) + "\n";
}

}  // namespace ostrovane::tools
