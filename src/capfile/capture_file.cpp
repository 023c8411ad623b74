#include "capfile/capture_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

#include "base/unique_fd.h"

namespace vemo {
namespace {

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

std::unexpected<Error> NotRegular(const std::string& path, mode_t mode) {
    return Failure(ErrorKind::kNotAFile,
                   path + ": not a regular file (it is " + KindOfNonRegular(mode) + ")");
}

// File systems whose regular files are the kernel's own views and switches
// (a process's name or memory, a device's settings, control groups), not
// stored data: a recording written into one would change the system, or
// the engine itself, instead of being kept. devtmpfs reports tmpfs's number
// and cannot be told from it; its files are devices, refused by type.
struct KernelFileSystem {
    std::uint32_t magic;  // statfs's f_type
    const char* name;
};
constexpr KernelFileSystem kKernelFileSystems[] = {
    {0x9fa0, "procfs"},          {0x62656572, "sysfs"},      {0x1cd1, "devpts"},
    {0x27e0eb, "cgroup"},        {0x63677270, "cgroup2"},    {0x64626720, "debugfs"},
    {0x74726163, "tracefs"},     {0x73636673, "securityfs"}, {0x6165676c, "pstore"},
    {0xcafe4a11, "bpf"},         {0x62656570, "configfs"},   {0xde5e81e4, "efivarfs"},
    {0xf97cff8c, "selinuxfs"},   {0x43415d53, "smackfs"},    {0x5a3c69f0, "apparmorfs"},
    {0x42494e4d, "binfmt_misc"}, {0x65735543, "fusectl"},    {0x19800202, "mqueue"},
    {0x6e736673, "nsfs"},        {0x07655821, "resctrl"},    {0xabba1974, "xenfs"},
    {0x9fa1, "openpromfs"},      {0x9fa2, "usbdevfs"},       {0x6c6f6f70, "binderfs"},
    {0x958458f6, "hugetlbfs"},
};

// Whether a file on the file system `info` describes can be the capture file.
Result<> OnDisk(const std::string& path, const struct statfs& info) {
    for (const KernelFileSystem& kernel : kKernelFileSystems) {
        if (static_cast<std::uint32_t>(info.f_type) == kernel.magic) {
            return Failure(ErrorKind::kNotAFile,
                           path + ": not a file on a disk (it is on " + kernel.name + ")");
        }
    }
    return {};
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

Result<> CheckCaptureFilePath(const std::string& path) {
    // lstat: a link is refused itself, or a recording would overwrite
    // whatever it points at.
    struct stat info {};
    struct statfs volume {};
    if (lstat(path.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) return NotRegular(path, info.st_mode);
        // Files in /proc and /sys count as regular files: their file
        // system tells them apart.
        if (statfs(path.c_str(), &volume) != 0) return {};
        return OnDisk(path, volume);
    }
    // A file not made yet would be made in its folder.
    std::error_code failed;
    const std::filesystem::path folder = std::filesystem::absolute(path, failed).parent_path();
    if (failed || statfs(folder.c_str(), &volume) != 0) return {};
    return OnDisk(path, volume);
}

namespace {

// The checks of an opened file: a regular file on a disk, blocking again.
Result<> CheckOpened(const std::string& path, int fd) {
    struct stat info {};
    struct statfs volume {};
    if (fstat(fd, &info) != 0 || fstatfs(fd, &volume) != 0) {
        return std::unexpected(SystemError(path, errno));
    }
    if (!S_ISREG(info.st_mode)) return NotRegular(path, info.st_mode);
    if (Result<> on_disk = OnDisk(path, volume); !on_disk) return on_disk;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return std::unexpected(SystemError(path, errno));
    }
    return {};
}

}  // namespace

Result<OpenedCaptureFile> OpenCaptureFileForWriting(const std::string& path) {
    // Checked before opening so that no device is ever opened; O_NOFOLLOW and
    // the fstat below cover a link or file swapped in between. O_NONBLOCK
    // keeps a FIFO without a reader from stopping the caller in open().
    if (Result<> usable = CheckCaptureFilePath(path); !usable) {
        return std::unexpected(usable.error());
    }
    constexpr int kFlags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC;
    OpenedCaptureFile opened;
    // Made exclusively first, so the caller knows whether a failure may remove it.
    opened.fd.reset(open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666));
    opened.created = opened.fd.valid();
    if (!opened.fd && errno == EEXIST) opened.fd.reset(open(path.c_str(), kFlags));
    if (!opened.fd) {
        const int open_error = errno;
        // Swapped for something else meanwhile: that is the reason.
        if (Result<> usable = CheckCaptureFilePath(path); !usable) {
            return std::unexpected(usable.error());
        }
        return std::unexpected(SystemError(path, open_error));
    }
    if (Result<> checked = CheckOpened(path, opened.fd.get()); !checked) {
        opened.fd.reset();
        if (opened.created) unlink(path.c_str());
        return std::unexpected(checked.error());
    }
    return opened;
}

Result<> AllocCapFile(const std::string& path, std::uint64_t bytes) {
    const auto fail = [&](const char* what, int error_number) {
        return std::unexpected(SystemError(std::string(what) + " " + path, error_number));
    };
    if (bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return fail("Cannot reserve space for", EFBIG);
    Result<OpenedCaptureFile> opened = OpenCaptureFileForWriting(path);
    if (!opened) return Failure(opened.error().kind, "Cannot open " + opened.error().text);
    UniqueFd fd = std::move(opened->fd);
    const bool created = opened->created;
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
    return {};
}

}  // namespace vemo
