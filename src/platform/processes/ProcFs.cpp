#include "platform/processes/ProcFs.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ostrovane::platform {
namespace fs = std::filesystem;
namespace {

std::optional<std::string> readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text(64 * 1024, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

// systemd's unit name escaping: "\x2d" and friends.
std::string unescapeUnit(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned value = 0;
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
            std::from_chars(text.data() + i + 2, text.data() + i + 4, value, 16).ptr ==
                text.data() + i + 4) {
            out += static_cast<char>(value);
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// snapd's unit of an application: "snap.<snap>.<app>-<uuid>.scope" for a
// started program, "snap.<snap>.<app>.service" for a daemon; <snap> holds no
// dot, <app> may hold dashes.
void candidatesOfSnapUnit(const std::string& unit, std::vector<std::string>& out) {
    std::string rest = unit.substr(5);
    if (rest.ends_with(".scope")) {
        rest.erase(rest.size() - 6);
        constexpr std::size_t uuid = 36;  // 8-4-4-4-12 hex digits
        if (rest.size() <= uuid + 1 || rest[rest.size() - uuid - 1] != '-')
            return;
        rest.erase(rest.size() - uuid - 1);
    } else if (rest.ends_with(".service")) {
        rest.erase(rest.size() - 8);
    } else {
        return;
    }
    const auto dot = rest.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == rest.size())
        return;
    out.push_back(rest.substr(0, dot) + "_" + rest.substr(dot + 1));
    out.push_back(rest.substr(0, dot) + "_");  // any entry of that snap
}

void candidatesOfUnit(const std::string& unit, CgroupDesktopIds& out) {
    if (unit.starts_with("snap.")) {
        candidatesOfSnapUnit(unit, out.sandbox);
        return;
    }
    if (!unit.starts_with("app-"))
        return;
    std::string name = unit.substr(4);
    if (name.ends_with(".scope")) {
        name.erase(name.size() - 6);
        const auto dash = name.rfind('-');  // the random part
        if (dash == std::string::npos)
            return;
        name.erase(dash);
    } else if (name.ends_with(".service")) {
        name.erase(name.size() - 8);
        if (const auto at = name.find('@'); at != std::string::npos)
            name.erase(at);
    } else {
        return;
    }
    if (name.starts_with("flatpak-")) {
        out.sandbox.push_back(unescapeUnit(name.substr(8)));
        return;
    }
    // An unescaped dash separates the launcher from the escaped id.
    if (const auto dash = name.find('-'); dash != std::string::npos)
        out.launcher.push_back(unescapeUnit(name.substr(dash + 1)));
    out.launcher.push_back(unescapeUnit(name));
}

}  // namespace

std::optional<std::string> ProcFs::executable(Pid pid) const {
    if (pid <= 0)
        return std::nullopt;
    std::error_code error;
    auto path = fs::read_symlink(dir(pid) + "/exe", error);
    if (error || path.empty())
        return std::nullopt;
    std::string text = path.string();
    // A replaced or deleted executable keeps its old path with this mark.
    if (text.ends_with(" (deleted)"))
        text.erase(text.size() - 10);
    return text;
}

std::optional<Pid> ProcFs::parent(Pid pid) const {
    const auto stat = readSmallFile(dir(pid) + "/stat");
    if (!stat)
        return std::nullopt;
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses.
    const auto close = stat->rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream rest(stat->substr(close + 1));
    std::string state;
    Pid ppid = 0;
    if (!(rest >> state >> ppid))
        return std::nullopt;
    return ppid;
}

std::optional<std::string> ProcFs::name(Pid pid) const {
    if (pid <= 0)
        return std::nullopt;
    auto text = readSmallFile(dir(pid) + "/comm");
    if (!text)
        return std::nullopt;
    while (!text->empty() && text->back() == '\n')
        text->pop_back();
    return text;
}

std::optional<std::string> ProcFs::cgroup(Pid pid) const {
    return readSmallFile(dir(pid) + "/cgroup");
}

std::vector<Pid> ProcFs::pids() const {
    std::vector<Pid> out;
    std::error_code error;
    for (fs::directory_iterator it(root_, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        Pid pid = 0;
        if (std::from_chars(name.data(), name.data() + name.size(), pid).ptr ==
                name.data() + name.size() &&
            pid > 0)
            out.push_back(pid);
    }
    return out;
}

CgroupDesktopIds desktopIdsFromCgroup(const std::string& cgroupText) {
    CgroupDesktopIds out;
    std::istringstream lines(cgroupText);
    for (std::string line; std::getline(lines, line);) {
        // "hierarchy:controllers:path"; the innermost unit decides.
        const auto colon = line.find(':', line.find(':') + 1);
        if (colon == std::string::npos)
            continue;
        const fs::path path(line.substr(colon + 1));
        std::vector<std::string> units;
        for (const auto& part : path)
            units.push_back(part.string());
        for (auto it = units.rbegin(); it != units.rend(); ++it)
            candidatesOfUnit(*it, out);
    }
    return out;
}

}  // namespace ostrovane::platform
