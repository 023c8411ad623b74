#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

namespace vemo {

// Writes all `size` bytes to `fd`, resuming after signals and short writes.
// False with errno set when a write fails; a write that takes nothing (a full
// device) counts as ENOSPC.
inline bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t done = 0; done < size;) {
        const ssize_t put = ::write(fd, bytes + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return false;
        if (put == 0) {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

inline bool WriteAll(int fd, std::string_view text) {
    return WriteAll(fd, text.data(), text.size());
}

}  // namespace vemo
