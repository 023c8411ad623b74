#include "capfile/capture_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

#include "base/unique_fd.h"

namespace vemo {
namespace {

std::string Reason(int error_number) {
    return std::generic_category().message(error_number);
}

// What a file of type `mode` is, for a refusal; "" for a regular file.
const char* KindOfNonRegular(mode_t mode) {
    if (S_ISREG(mode)) return "";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "a special file";
}

std::string NotRegularText(const std::string& path, mode_t mode) {
    return path + ": not a regular file (it is " + KindOfNonRegular(mode) + ")";
}

}  // namespace

std::uint64_t FileSize64(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
    return static_cast<std::uint64_t>(info.st_size);
}

std::int32_t FreeDiskSpaceKB(const std::string& path) {
    if (path.empty()) return -1;
    std::error_code failed;
    const std::filesystem::path absolute = std::filesystem::absolute(path, failed);
    if (failed) return -1;
    struct statvfs info {};
    if (statvfs(absolute.parent_path().c_str(), &info) != 0) return -1;
    const std::uint64_t block = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
    const std::uint64_t blocks = info.f_bavail;
    constexpr std::uint64_t kMostKb = std::numeric_limits<std::int32_t>::max();
    // Clamped rather than wrapped: a huge volume must not read as a full one.
    if (block != 0 && blocks > (kMostKb << 10) / block) return static_cast<std::int32_t>(kMostKb);
    return static_cast<std::int32_t>((blocks * block) >> 10);
}

std::string NotRegularFileReason(const std::string& path) {
    // lstat: a link is refused itself, or a recording would overwrite
    // whatever it points at.
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return {};
    return NotRegularText(path, info.st_mode);
}

OpenedCaptureFile OpenCaptureFileForWriting(const std::string& path) {
    OpenedCaptureFile opened;
    // Checked before opening so that no device is ever opened; O_NOFOLLOW and
    // the fstat below cover a link or file swapped in between. O_NONBLOCK
    // keeps a FIFO without a reader from stopping the caller in open().
    if (std::string reason = NotRegularFileReason(path); !reason.empty()) {
        opened.error = std::move(reason);
        return opened;
    }
    constexpr int kFlags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC;
    // Made exclusively first, so the caller knows whether a failure may remove it.
    opened.fd.reset(open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666));
    opened.created = opened.fd.valid();
    if (!opened.fd && errno == EEXIST) opened.fd.reset(open(path.c_str(), kFlags));
    if (!opened.fd) {
        const int open_error = errno;
        std::string reason = NotRegularFileReason(path);
        opened.error = reason.empty() ? path + ": " + Reason(open_error) : std::move(reason);
        return opened;
    }
    struct stat info {};
    if (fstat(opened.fd.get(), &info) != 0) {
        opened.error = path + ": " + Reason(errno);
    } else if (!S_ISREG(info.st_mode)) {
        opened.error = NotRegularText(path, info.st_mode);
    } else {
        const int flags = fcntl(opened.fd.get(), F_GETFL);
        if (flags < 0 || fcntl(opened.fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
            opened.error = path + ": " + Reason(errno);
    }
    if (!opened.error.empty()) {
        opened.fd.reset();
        if (opened.created) unlink(path.c_str());
        opened.created = false;
    }
    return opened;
}

bool AllocCapFile(const std::string& path, std::uint64_t bytes, std::string* error) {
    const auto fail = [&](const std::string& what, int error_number) {
        if (error != nullptr) *error = what + " " + path + ": " + Reason(error_number);
        return false;
    };
    if (bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return fail("Cannot reserve space for", EFBIG);
    OpenedCaptureFile opened = OpenCaptureFileForWriting(path);
    if (!opened.fd) {
        if (error != nullptr) *error = "Cannot open " + opened.error;
        return false;
    }
    UniqueFd fd = std::move(opened.fd);
    const bool created = opened.created;
    const auto discard = [&] {
        if (created) unlink(path.c_str());
    };
    if (bytes > 0) {
        const int result = posix_fallocate(fd.get(), 0, static_cast<off_t>(bytes));
        if (result != 0) {
            fd.reset();
            discard();
            return fail("Cannot reserve space for", result);
        }
    }
    if (!fd.Close()) {
        const int close_error = errno;
        discard();
        return fail("Cannot write", close_error);
    }
    return true;
}

}  // namespace vemo
