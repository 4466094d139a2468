#include "platform/apps/DesktopEntries.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace ostrovane::platform {
namespace fs = std::filesystem;
namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream stream(text);
    for (std::string item; std::getline(stream, item, ':');) {
        if (!item.empty())
            out.push_back(item);
    }
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// The string escapes of desktop entry values: \s \n \t \r \\.
std::string unescape(std::string_view value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char c = value[++i];
        out += c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    }
    return out;
}

// Name keys to try for a locale "lang_COUNTRY.ENCODING@MODIFIER", most
// specific first.
std::vector<std::string> localeKeys(const std::string& locale) {
    if (locale.empty() || locale == "C" || locale == "POSIX")
        return {};
    std::string lang = locale, country, modifier;
    if (auto at = lang.find('@'); at != std::string::npos) {
        modifier = lang.substr(at + 1);
        lang.erase(at);
    }
    if (auto dot = lang.find('.'); dot != std::string::npos)
        lang.erase(dot);
    if (auto underscore = lang.find('_'); underscore != std::string::npos) {
        country = lang.substr(underscore + 1);
        lang.erase(underscore);
    }
    std::vector<std::string> keys;
    if (!country.empty() && !modifier.empty())
        keys.push_back(lang + "_" + country + "@" + modifier);
    if (!country.empty())
        keys.push_back(lang + "_" + country);
    if (!modifier.empty())
        keys.push_back(lang + "@" + modifier);
    keys.push_back(lang);
    return keys;
}

bool isSystemDirectory(const fs::path& dir) {
    static const std::set<std::string> shared{"/",
                                              "/bin",
                                              "/sbin",
                                              "/usr",
                                              "/usr/bin",
                                              "/usr/sbin",
                                              "/usr/local",
                                              "/usr/local/bin",
                                              "/usr/local/sbin",
                                              "/usr/games",
                                              "/usr/local/games",
                                              "/snap/bin",
                                              "/usr/lib",
                                              "/usr/lib64",
                                              "/usr/libexec",
                                              "/usr/local/lib",
                                              "/usr/share",
                                              "/opt",
                                              "/app",
                                              "/app/bin",
                                              "/usr/lib/x86_64-linux-gnu",
                                              "/usr/lib/aarch64-linux-gnu"};
    return shared.count(dir.lexically_normal().string()) > 0;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// A directory of many programs: the system's, or one on the search path.
bool isSharedDirectory(const fs::path& dir, const DesktopEntrySources& sources) {
    const auto normal = dir.lexically_normal();
    return isSystemDirectory(normal) ||
           std::any_of(sources.searchPath.begin(), sources.searchPath.end(),
                       [&normal](const std::string& p) {
                           return fs::path(p).lexically_normal() == normal;
                       });
}

bool isScript(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    char magic[2] = {};
    return in.read(magic, 2) && magic[0] == '#' && magic[1] == '!';
}

// Whether `path` lies below `dir` (component-wise).
bool contains(const std::string& dir, const std::string& path) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           (dir.back() == '/' || path[dir.size()] == '/');
}

void addProgram(DesktopEntry& entry, const std::string& program,
                const DesktopEntrySources& sources) {
    std::error_code error;
    auto addPath = [&entry, &sources](const fs::path& path) {
        std::error_code e;
        const auto real = fs::canonical(path, e);
        entry.binaries.push_back(e ? path.lexically_normal().string() : real.string());
        if (!e && real != path.lexically_normal())
            entry.binaries.push_back(path.lexically_normal().string());
        if (!e && isSharedDirectory(real.parent_path(), sources) && isScript(real))
            entry.wrapperNames.push_back(real.filename().string());
    };
    if (program.front() == '/') {
        addPath(program);
    } else {
        bool found = false;
        for (const auto& dir : sources.searchPath) {
            const fs::path candidate = fs::path(dir) / program;
            if (fs::exists(candidate, error)) {
                addPath(candidate);
                found = true;
                break;
            }
        }
        if (!found)
            entry.bareNames.push_back(program);
    }
    if (!entry.installDir && !entry.binaries.empty()) {
        const fs::path dir = fs::path(entry.binaries.front()).parent_path();
        if (!dir.empty() && !isSharedDirectory(dir, sources))
            entry.installDir = dir.string();
    }
}

}  // namespace

DesktopEntrySources DesktopEntrySources::fromEnvironment() {
    DesktopEntrySources sources;
    std::string dataHome = env("XDG_DATA_HOME");
    if (dataHome.empty() && !env("HOME").empty())
        dataHome = env("HOME") + "/.local/share";
    std::vector<std::string> dirs;
    if (!dataHome.empty()) {
        dirs.push_back(dataHome);
        dirs.push_back(dataHome + "/flatpak/exports/share");
    }
    auto system = splitList(env("XDG_DATA_DIRS"));
    if (system.empty())
        system = {"/usr/local/share", "/usr/share"};
    dirs.insert(dirs.end(), system.begin(), system.end());
    dirs.push_back("/var/lib/flatpak/exports/share");
    dirs.push_back("/var/lib/snapd/desktop");
    for (auto& dir : dirs) {
        if (std::find(sources.dataDirs.begin(), sources.dataDirs.end(), dir) ==
            sources.dataDirs.end())
            sources.dataDirs.push_back(dir);
    }
    sources.searchPath = splitList(env("PATH"));
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (!env(name).empty()) {
            sources.locale = env(name);
            break;
        }
    }
    return sources;
}

std::vector<std::string> execWords(std::string_view exec) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted) {
            if (c == '"')
                quoted = false;
            else if (c == '\\' && i + 1 < exec.size())
                word += exec[++i];
            else
                word += c;
        } else if (c == '"') {
            quoted = inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord)
                words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(std::move(word));
    return words;
}

std::optional<std::string> execProgram(std::string_view exec) {
    const auto words = execWords(exec);
    static const std::set<std::string> launchers{"sh",   "bash",    "dash", "python",   "python3",
                                                 "perl", "ruby",    "node", "java",     "gjs",
                                                 "wine", "flatpak", "snap", "xdg-open", "pkexec"};
    // env's options that take the next word as their value.
    static const std::set<std::string> envWithValue{"-u",      "--unset", "-C",
                                                    "--chdir", "-S",      "--split-string"};
    std::size_t at = 0;
    if (at < words.size() && fs::path(words[at]).filename() == "env") {
        ++at;
        while (at < words.size()) {
            const std::string& word = words[at];
            if (word == "--") {
                ++at;
                break;
            }
            if (envWithValue.count(word))
                at += 2;
            else if (word.starts_with("-") || word.find('=') != std::string::npos)
                ++at;
            else
                break;
        }
    }
    if (at >= words.size() || words[at].empty())
        return std::nullopt;
    if (launchers.count(fs::path(words[at]).filename().string()))
        return std::nullopt;
    return words[at];
}

std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, const std::string& id,
                                              const DesktopEntrySources& sources) {
    std::map<std::string, std::string> keys;
    bool inMain = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inMain = line == "[Desktop Entry]";
            continue;
        }
        const auto equals = line.find('=');
        if (!inMain || equals == std::string_view::npos)
            continue;
        keys.emplace(std::string(trim(line.substr(0, equals))),
                     std::string(trim(line.substr(equals + 1))));
    }
    auto value = [&keys](const std::string& key) -> std::optional<std::string> {
        auto it = keys.find(key);
        if (it == keys.end())
            return std::nullopt;
        return it->second;
    };
    if (value("Type") != "Application" || value("Hidden") == "true")
        return std::nullopt;

    DesktopEntry entry;
    entry.id = id;
    for (const auto& key : localeKeys(sources.locale)) {
        if (auto localized = value("Name[" + key + "]")) {
            entry.name = unescape(*localized);
            break;
        }
    }
    if (entry.name.empty())
        entry.name = unescape(value("Name").value_or(""));
    if (entry.name.empty())
        entry.name = id;
    entry.startupWmClass = unescape(value("StartupWMClass").value_or(""));
    std::stringstream categories(value("Categories").value_or(""));
    for (std::string category; std::getline(categories, category, ';');)
        entry.startsOthers = entry.startsOthers || category == "TerminalEmulator";
    entry.startsOthers = entry.startsOthers || value("NoDisplay") == "true";
    for (const auto& word : execWords(unescape(value("Exec").value_or("")))) {
        entry.appSpecificArguments = entry.appSpecificArguments || word.starts_with("--app-id") ||
                                     word.starts_with("--profile-directory");
    }
    for (const char* key : {"TryExec", "Exec"}) {
        if (auto exec = value(key)) {
            if (auto program =
                    execProgram(std::string(key) == "TryExec" ? "\"" + unescape(*exec) + "\""
                                                              : unescape(*exec)))
                addProgram(entry, *program, sources);
        }
    }
    return entry;
}

DesktopEntries DesktopEntries::load(const DesktopEntrySources& sources) {
    DesktopEntries result;
    std::set<std::string> seen;  // ids decided by an earlier directory, shown or hidden
    for (const auto& dataDir : sources.dataDirs) {
        const fs::path root = fs::path(dataDir) / "applications";
        std::error_code error;
        fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied,
                                            error);
        for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            const fs::path& file = it->path();
            if (file.extension() != ".desktop" || !it->is_regular_file(error))
                continue;
            std::string id = file.lexically_relative(root).replace_extension().string();
            std::replace(id.begin(), id.end(), '/', '-');
            if (!seen.insert(id).second)
                continue;
            std::ifstream in(file, std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            if (auto entry = parseDesktopEntry(text.str(), id, sources))
                result.entries_.emplace(id, std::move(*entry));
        }
    }
    return result;
}

const DesktopEntry* DesktopEntries::byId(const std::string& id) const {
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : &it->second;
}

const DesktopEntry* DesktopEntries::firstWithPrefix(const std::string& prefix) const {
    auto it = entries_.lower_bound(prefix);
    return it != entries_.end() && it->first.starts_with(prefix) ? &it->second : nullptr;
}

const DesktopEntry* DesktopEntries::byExecutable(const std::string& path) const {
    const std::string name = fs::path(path).filename().string();
    auto has = [](const std::vector<std::string>& list, const std::string& item) {
        return std::find(list.begin(), list.end(), item) != list.end();
    };
    std::vector<const DesktopEntry*> exact, named, contained;
    for (const auto& [_, entry] : entries_) {
        if (has(entry.binaries, path))
            exact.push_back(&entry);
        else if (has(entry.bareNames, name) || has(entry.wrapperNames, name))
            named.push_back(&entry);
        else if (entry.installDir && contains(*entry.installDir, path))
            contained.push_back(&entry);
    }
    // Only the outermost install directory takes part.
    std::erase_if(contained, [&contained](const DesktopEntry* e) {
        return std::any_of(contained.begin(), contained.end(), [e](const DesktopEntry* other) {
            return other->installDir->size() < e->installDir->size();
        });
    });
    auto namesExecutable = [&name](const DesktopEntry& e) {
        const std::string suffix = "." + name;
        return equalIgnoringCase(e.id, name) || equalIgnoringCase(e.startupWmClass, name) ||
               (e.id.size() > suffix.size() &&
                equalIgnoringCase(std::string_view(e.id).substr(e.id.size() - suffix.size()),
                                  suffix));
    };
    for (const auto* tier : {&exact, &named, &contained}) {
        if (tier->empty())
            continue;
        // Stable: among equals the first id stays first.
        return *std::min_element(
            tier->begin(), tier->end(), [&](const DesktopEntry* a, const DesktopEntry* b) {
                return std::pair(a->appSpecificArguments, !namesExecutable(*a)) <
                       std::pair(b->appSpecificArguments, !namesExecutable(*b));
            });
    }
    return nullptr;
}

const DesktopEntry* DesktopEntries::byAppId(const std::string& appId) const {
    if (appId.empty())
        return nullptr;
    if (const auto* entry = byId(appId))
        return entry;
    const std::string suffix = "." + appId;
    const std::array<std::function<bool(const DesktopEntry&)>, 4> rules{
        [&](const DesktopEntry& e) { return equalIgnoringCase(e.id, appId); },
        [&](const DesktopEntry& e) { return equalIgnoringCase(e.startupWmClass, appId); },
        [&](const DesktopEntry& e) {
            return e.id.size() > suffix.size() &&
                   equalIgnoringCase(std::string_view(e.id).substr(e.id.size() - suffix.size()),
                                     suffix);
        },
        [&](const DesktopEntry& e) { return equalIgnoringCase(e.name, appId); },
    };
    for (const auto& rule : rules) {
        for (const auto& [_, entry] : entries_) {
            if (rule(entry))
                return &entry;
        }
    }
    return nullptr;
}

}  // namespace ostrovane::platform
