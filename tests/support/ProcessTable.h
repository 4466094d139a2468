#pragma once

#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ostrovane::test {

// A file under /proc, whole. Reading one of a process that ends meanwhile
// fails with ESRCH, which a stream iterator would throw: this gives what
// was read instead.
inline std::string readProcessFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The processes whose environment block contains `text`.
inline std::vector<pid_t> processesWithEnvironment(const std::string& text) {
    std::vector<pid_t> pids;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        if (readProcessFile(entry.path() / "environ").find(text) != std::string::npos)
            pids.push_back(std::stoi(name));
    }
    return pids;
}

}  // namespace ostrovane::test
