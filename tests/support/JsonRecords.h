#pragma once

#include <gmock/gmock.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ostrovane::test {

// The JSON objects of the lines among `lines` that begin with `tag`.
inline std::vector<nlohmann::json> records(const std::vector<std::string>& lines,
                                           const std::string& tag) {
    std::vector<nlohmann::json> out;
    for (const auto& line : lines) {
        if (line.starts_with(tag))
            out.push_back(nlohmann::json::parse(line.substr(tag.size())));
    }
    return out;
}

// A record holding each of `fields` with its value; a field given as null
// must be absent (a merge patch that changes nothing).
MATCHER_P(HoldsFields, fields, "holds " + nlohmann::json(fields).dump()) {
    nlohmann::json patched = arg;
    patched.merge_patch(fields);
    return patched == arg;
}

}  // namespace ostrovane::test
