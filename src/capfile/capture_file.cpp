#include "capfile/capture_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <system_error>

#include "base/unique_fd.h"

namespace vemo {
namespace {

std::string Reason(int error_number) {
    return std::generic_category().message(error_number);
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

bool AllocCapFile(const std::string& path, std::uint64_t bytes, std::string* error) {
    const auto fail = [&](const std::string& what, int error_number) {
        if (error != nullptr) *error = what + " " + path + ": " + Reason(error_number);
        return false;
    };
    if (bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return fail("Cannot reserve space for", EFBIG);
    // Made exclusively first, so that a failure removes only a file of ours.
    bool created = true;
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd && errno == EEXIST) {
        created = false;
        fd.reset(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    }
    if (!fd) return fail("Cannot open", errno);
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
