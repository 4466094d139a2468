#include "sources/test/FileURL.h"

#include <fcntl.h>
#include <sys/stat.h>
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
    // Non-blocking, so that naming a pipe cannot hang the command loop on open.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return readError(path, errno);
    // Only regular files of a bounded size: a device (/dev/zero) or a pipe
    // would be read for ever.
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return readError(path, errno);
    if (!S_ISREG(info.st_mode))
        return readError(path, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    if (static_cast<std::uint64_t>(info.st_size) > kMaxFileBytes)
        return readError(path, EFBIG);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
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
        if (bytes.size() + static_cast<std::size_t>(n) > kMaxFileBytes)
            return readError(path, EFBIG);  // grew while we read it
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
}

}  // namespace ostrovane::sources
