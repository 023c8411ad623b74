#pragma once

// Owns one file descriptor and closes it when it goes away.

#include <unistd.h>

#include <utility>

namespace vemo {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Gives the descriptor up without closing it.
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }

    // Closes the descriptor held (an error is lost) and takes `fd` instead.
    void reset(int fd = -1) {
        const int old = std::exchange(fd_, fd);
        if (old >= 0) ::close(old);
    }

    // Closes now and reports whether the close succeeded: some filesystems
    // report the last write errors only here. The descriptor is gone either
    // way, so a failed close is never retried.
    bool Close() {
        const int old = std::exchange(fd_, -1);
        return old >= 0 && ::close(old) == 0;
    }

  private:
    int fd_ = -1;
};

}  // namespace vemo
