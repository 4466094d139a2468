#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ostrovane {

// The one write loop: hands every byte to `fd`, resuming after partial writes and EINTR, and
// waiting for writability when a non-blocking descriptor reports EAGAIN.
// Returns 0 on success or the errno of the failure that stopped it; a write
// that makes no progress counts as EIO so the loop can never spin.
int writeAll(int fd, std::span<const std::uint8_t> bytes) noexcept;
inline int writeAll(int fd, std::string_view text) noexcept {
    return writeAll(fd, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace ostrovane
