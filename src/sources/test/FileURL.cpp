#include "sources/test/FileURL.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "util/UniqueFd.h"

namespace ostrovane::sources {

namespace {

platform::Error readError(const std::string& path, int error) {
    return platform::Error{
        kFileReadErrorDomain, error,
        "The file \xE2\x80\x9C" + lastPathComponent(path) +
            "\xE2\x80\x9D couldn\xE2\x80\x99t be opened: " + std::strerror(error)};
}

}  // namespace

std::string fileURLPath(const std::string& path) {
    if (!path.empty() && path.front() == '/')
        return path;
    std::error_code error;
    auto current = std::filesystem::current_path(error);
    if (error)
        return path;
    return path.empty() ? current.string() : (current / path).string();
}

std::string lastPathComponent(const std::string& path) {
    const auto end = path.find_last_not_of('/');
    if (end == std::string::npos)
        return path.empty() ? path : "/";
    const auto slash = path.find_last_of('/', end);
    return path.substr(slash == std::string::npos ? 0 : slash + 1,
                       end - (slash == std::string::npos ? 0 : slash + 1) + 1);
}

platform::Result<std::vector<std::uint8_t>> readWholeFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return readError(path, errno);
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return readError(path, errno);
        }
        if (n == 0)
            return bytes;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
}

}  // namespace ostrovane::sources
