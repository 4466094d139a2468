#include "platform/portal/RestoreTokens.h"

#include "util/WriteAll.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "util/UniqueFd.h"

namespace ostrovane::platform::portal {

namespace {

// The file holds one "target<TAB>token" line per target. Neither may hold a
// tab, a line break or a NUL, so nothing needs escaping; a file with any
// other line is not ours to trust and reads as empty.
using Entries = std::vector<std::pair<std::string, std::string>>;

// A few thousand targets at most; anything larger is not our file.
constexpr off_t kLargestFile = 1 << 20;

bool storable(const std::string& text) {
    return !text.empty() && text.find_first_of(std::string("\t\n\r\0", 4)) == std::string::npos;
}

Entries load(const std::filesystem::path& file) {
    if (file.empty())
        return {};
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat info {};
    if (!fd || fstat(fd.get(), &info) < 0 || !S_ISREG(info.st_mode) || info.st_size > kLargestFile)
        return {};
    std::string text;
    char chunk[4096];
    ssize_t n = 0;
    while ((n = ::read(fd.get(), chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            text.append(chunk, static_cast<std::size_t>(n));
        if (text.size() > static_cast<std::size_t>(kLargestFile))
            return {};
    }
    if (n < 0)
        return {};

    Entries entries;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            return {};  // cut short: a line without its end
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos)
            return {};
        std::string target = line.substr(0, tab);
        std::string token = line.substr(tab + 1);
        if (!storable(target) || !storable(token))
            return {};
        entries.emplace_back(std::move(target), std::move(token));
    }
    return entries;
}

// Creates the missing directories above `file`, each 0700; existing ones
// are left as they are.
bool makeParents(const std::filesystem::path& file) {
    std::filesystem::path path;
    for (const auto& part : file.parent_path()) {
        path /= part;
        if (::mkdir(path.c_str(), 0700) < 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// Writes a file beside the old one, flushes it to disk and renames it over
// the old one: a reader sees the old store or the new, never a part.
bool save(const std::filesystem::path& file, const Entries& entries) {
    if (file.empty() || !makeParents(file))
        return false;
    std::string text;
    for (const auto& [target, token] : entries)
        text += target + '\t' + token + '\n';

    std::string temporary = file.string() + ".XXXXXX";
    UniqueFd fd(mkostemp(temporary.data(), O_CLOEXEC));  // created 0600
    if (!fd)
        return false;
    const bool written =
        fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), text) == 0 && fsync(fd.get()) == 0;
    fd.reset();
    if (!written || std::rename(temporary.c_str(), file.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk with the directory.
    UniqueFd directory(::open(file.parent_path().empty() ? "." : file.parent_path().c_str(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory)
        fsync(directory.get());
    return true;
}

}  // namespace

RestoreTokens::RestoreTokens(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path RestoreTokens::defaultFile() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/')
        return std::filesystem::path(state) / "ostrovane" / "portal-tokens";
    const char* home = std::getenv("HOME");
    if (home && *home == '/')
        return std::filesystem::path(home) / ".local" / "state" / "ostrovane" / "portal-tokens";
    return {};
}

std::optional<std::string> RestoreTokens::find(const std::string& target) const {
    for (auto& [known, token] : load(file_)) {
        if (known == target)
            return token;
    }
    return std::nullopt;
}

bool RestoreTokens::store(const std::string& target, const std::string& token) {
    if (!storable(target) || !storable(token))
        return false;
    Entries entries = load(file_);
    std::erase_if(entries, [&](const auto& entry) { return entry.first == target; });
    entries.emplace_back(target, token);
    return save(file_, entries);
}

bool RestoreTokens::forget(const std::string& target) {
    Entries entries = load(file_);
    if (std::erase_if(entries, [&](const auto& entry) { return entry.first == target; }) == 0)
        return true;
    return save(file_, entries);
}

}  // namespace ostrovane::platform::portal
