#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "base/write_all.h"

namespace vemo {

// Copies everything readable from `from` to `to`, resuming after signals.
// False on a failed read or write (a full disk among them).
inline bool CopyAll(int from, int to) {
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = read(from, buffer, sizeof buffer);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (!WriteAll(to, buffer, static_cast<std::size_t>(got))) return false;
    }
}

}  // namespace vemo
