#include "platform/x11/ServerProbe.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace ostrovane::platform::x11 {

namespace {

// The display number of a local display name; nothing for a remote one.
std::optional<std::string> localDisplayNumber(std::string name) {
    if (name.rfind("unix:", 0) == 0)
        name.erase(0, 4);
    if (name.empty() || name[0] != ':')
        return std::nullopt;
    const std::size_t end = name.find('.', 1);
    std::string number = name.substr(1, end == std::string::npos ? end : end - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return number;
}

// A socket connected to `path` (abstract when it starts with '\0').
UniqueFd connectTo(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid())
        return fd;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::min(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.data(), length);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), size) != 0)
        return UniqueFd();
    return fd;
}

}  // namespace

ServerProbe probeServer(const std::string& displayName, std::chrono::milliseconds limit) {
    std::string name = displayName;
    if (name.empty()) {
        const char* display = std::getenv("DISPLAY");
        name = display != nullptr ? display : "";
    }
    const auto number = localDisplayNumber(name);
    if (!number)
        return {ServerState::notProbed, {}};
    // The abstract socket first, as xcb does.
    const std::string path = "/tmp/.X11-unix/X" + *number;
    UniqueFd fd = connectTo(std::string(1, '\0') + path);
    if (!fd.valid())
        fd = connectTo(path);
    if (!fd.valid())
        return {ServerState::absent, {}};
    // A set-up request without authorisation: any reply (a refusal too)
    // shows that the server is running.
    constexpr std::array<std::uint8_t, 12> kSetup{'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    if (::send(fd.get(), kSetup.data(), kSetup.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(kSetup.size()))
        return {errno == EAGAIN ? ServerState::silent : ServerState::absent, {}};
    pollfd wait{fd.get(), POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&wait, 1, static_cast<int>(limit.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return {ServerState::silent, {}};
    return {ServerState::answers, std::move(fd)};
}

}  // namespace ostrovane::platform::x11
