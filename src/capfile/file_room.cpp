#include "capfile/file_room.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>

namespace vemo {
namespace {

// Claimed a step at a time: one call every few seconds of a 1080p camera.
constexpr std::uint64_t kStep = 32ull << 20;
// Frames coded or on their way to the writer when it stops taking them.
constexpr std::uint64_t kFramesInFlight = 8ull << 20;

}  // namespace

FileRoom::FileRoom(int fd) : fd_(fd), limit_(std::numeric_limits<std::uint64_t>::max()) {
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_size > 0)
        held_end_ = static_cast<std::uint64_t>(info.st_size);
    rlimit file_size{};
    if (getrlimit(RLIMIT_FSIZE, &file_size) == 0 && file_size.rlim_cur != RLIM_INFINITY) {
        limit_ = file_size.rlim_cur;
    }
}

std::uint64_t FileRoom::Reserve(std::uint64_t frames) {
    return 16 * (frames + 1024) + (64 << 10) + kFramesInFlight;
}

Result<> FileRoom::MakeRoom(std::uint64_t end, std::uint64_t frames) {
    const std::uint64_t needed = end + Reserve(frames);
    // The limit is not claimed against: fallocate that keeps the size may
    // pass it, and the writes would then fail.
    if (needed > limit_) {
        return Failure(ErrorKind::kNoSpace,
                       "the file-size limit (" + std::to_string(limit_) + " bytes) is reached");
    }
    if (needed <= held_end_) return {};
    // A step ahead when there is one, else just what is needed now: a disk
    // near its end still takes the recording as far as it can.
    for (const std::uint64_t until : {std::min(needed + kStep, limit_), needed}) {
        if (fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(held_end_),
                      static_cast<off_t>(until - held_end_)) == 0) {
            held_end_ = until;
            return {};
        }
        // A file system without fallocate gives no warning: the writes go on
        // as they always did.
        if (errno == EOPNOTSUPP) {
            held_end_ = std::numeric_limits<std::uint64_t>::max();
            return {};
        }
    }
    return std::unexpected(SystemError("no room for the recording to go on", errno));
}

void FileRoom::GiveBack(std::uint64_t end) {
    if (held_end_ <= end || held_end_ == std::numeric_limits<std::uint64_t>::max()) return;
    // Best effort: a file system that cannot punch keeps the blocks until
    // the file is cut or removed.
    fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(end),
              static_cast<off_t>(held_end_ - end));
    held_end_ = end;
}

}  // namespace vemo
