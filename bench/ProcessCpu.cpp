#include "ProcessCpu.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace ostrovane::bench {

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The fields of /proc/<pid>/stat after the command name, which sits in
// parentheses and may itself hold spaces and parentheses: field 3 (state)
// comes first.
std::vector<std::string> statFields(pid_t pid) {
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = text.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos)
        return fields;
    std::istringstream rest(text.substr(close + 1));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;
}

}  // namespace

std::optional<double> cpuSecondsOf(pid_t pid) {
    const auto fields = statFields(pid);
    if (fields.empty() || fields[0] == "Z" || fields[0] == "X")
        return std::nullopt;
    // The first field of each thread's schedstat is its time on a CPU in
    // nanoseconds. The clock-tick counts of /proc/<pid>/stat alias with audio
    // that wakes every 10 ms: a 20 s window came out anywhere between half and
    // twice the real figure.
    std::error_code error;
    double nanoseconds = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
        std::istringstream schedstat(readFile(entry.path().string() + "/schedstat"));
        double onCpu = 0;
        if (schedstat >> onCpu)
            nanoseconds += onCpu;
    }
    if (error)
        return std::nullopt;
    return nanoseconds / 1e9;
}

std::optional<std::uint64_t> contextSwitchesOf(pid_t pid) {
    std::error_code error;
    std::uint64_t total = 0;
    bool any = false;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
        std::istringstream status(readFile(entry.path().string() + "/status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                total += std::stoull(line.substr(line.find(':') + 1));
                any = true;
            }
        }
    }
    if (!any)
        return std::nullopt;
    return total;
}

std::optional<pid_t> childNamed(const std::string& name) {
    const std::string self = std::to_string(getpid());
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const auto fields = statFields(std::stoi(pid));
        // Field 4, the parent's pid.
        if (fields.size() < 2 || fields[1] != self)
            continue;
        std::string comm = readFile("/proc/" + pid + "/comm");
        while (!comm.empty() && comm.back() == '\n')
            comm.pop_back();
        if (comm == name)
            return std::stoi(pid);
    }
    return std::nullopt;
}

bool CpuWindow::start() {
    const auto now = total();
    if (!now)
        return false;
    start_ = *now;
    return true;
}

std::optional<double> CpuWindow::elapsed() const {
    const auto now = total();
    if (!now)
        return std::nullopt;
    return *now - start_;
}

std::optional<double> CpuWindow::total() const {
    double sum = 0;
    for (const pid_t pid : pids_) {
        const auto seconds = cpuSecondsOf(pid);
        if (!seconds)
            return std::nullopt;
        sum += *seconds;
    }
    return sum;
}

}  // namespace ostrovane::bench
