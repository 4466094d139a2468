#include "monitoring/SystemDaemons.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace ostrovane::monitoring {
namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

}  // namespace

bool isSystemDaemon(const std::optional<std::string>& processNameHint,
                    const std::optional<std::string>& appName,
                    const std::optional<std::string>& bundleId,
                    const std::vector<std::string>& platformDaemons) {
    // A "path:" id is judged by its file name: folders say nothing about
    // the program (a pipewire-tools folder holds applications).
    std::string id = bundleId.value_or("");
    if (id.starts_with("path:"))
        id = std::filesystem::path(id.substr(5)).filename().string();
    const std::array<std::string, 3> texts{lower(processNameHint.value_or("")),
                                           lower(appName.value_or("")), lower(id)};
    auto matches = [&texts](std::string_view entry) {
        const std::string needle = lower(entry);
        return std::any_of(texts.begin(), texts.end(), [&needle](const std::string& text) {
            return !text.empty() && text.find(needle) != std::string::npos;
        });
    };
    return std::any_of(systemDaemons.begin(), systemDaemons.end(), matches) ||
           std::any_of(platformDaemons.begin(), platformDaemons.end(),
                       [&matches](const std::string& d) { return !d.empty() && matches(d); });
}

}  // namespace ostrovane::monitoring
