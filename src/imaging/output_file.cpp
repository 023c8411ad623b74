#include "imaging/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vemo {

int CreateFreshFile(const std::string& path) {
    constexpr int kCreate = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    // A few rounds: another process may put something at the name again
    // between the removal and the creation.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = open(path.c_str(), kCreate, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0) continue;
        // A device or folder at the name is neither written into (it would
        // then be renamed over a published picture) nor removed.
        if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) || S_ISDIR(info.st_mode)) {
            errno = EEXIST;
            return -1;
        }
        if (unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace vemo

namespace vemo::detail {

OutputFile::OutputFile(const std::string& path) : path_(path) {
    const int fd = CreateFreshFile(path);
    if (fd < 0) return;
    file_.reset(fdopen(fd, "wb"));
    if (!file_) close(fd);
}

OutputFile::~OutputFile() {
    if (file_) Discard();
}

bool OutputFile::Close() {
    if (!file_) return false;
    const bool written = std::ferror(file_.get()) == 0;
    if (std::fclose(file_.release()) == 0 && written) return true;
    unlink(path_.c_str());
    return false;
}

void OutputFile::Discard() {
    file_.reset();
    unlink(path_.c_str());
}

}  // namespace vemo::detail
