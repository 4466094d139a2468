#include "monitoring/MicAppRecords.h"

#include <nlohmann/json.hpp>

namespace ostrovane::monitoring {
namespace {

// Names and paths come from other programs and from the file system, whose
// names are bytes: ill-formed UTF-8 is replaced, as the audio-log reader does.
std::optional<std::string> tagged(const char* tag, const nlohmann::json& object) {
    try {
        return std::string(tag) +
               object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

nlohmann::json appObject(const std::string& bundleId, const std::string& appName, std::int32_t pid,
                         double timestamp) {
    return {{"bundleId", bundleId}, {"appName", appName}, {"pid", pid}, {"timestamp", timestamp}};
}

}  // namespace

std::optional<std::string> micAppEventLine(const std::string& bundleId, const std::string& appName,
                                           std::int32_t pid, double timestamp) {
    return tagged("MIC_APP_EVENT:", appObject(bundleId, appName, pid, timestamp));
}

std::optional<std::string> micAppStopEventLine(const std::string& bundleId,
                                               const std::string& appName, std::int32_t pid,
                                               double timestamp) {
    return tagged("MIC_APP_STOP_EVENT:", appObject(bundleId, appName, pid, timestamp));
}

std::optional<std::string> micAppSnapshotLine(const std::vector<std::string>& bundleIds,
                                              double timestamp) {
    return tagged("MIC_APP_SNAPSHOT:", {{"bundleIds", bundleIds}, {"timestamp", timestamp}});
}

std::optional<std::string> micAppErrorLine(const std::string& message, double timestamp) {
    return tagged("MIC_APP_ERROR:", {{"error", message}, {"timestamp", timestamp}});
}

}  // namespace ostrovane::monitoring
