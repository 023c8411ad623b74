#pragma once

// Room kept ahead of a recording's writer, so that a full disk, a quota or a
// file-size limit stops the recording while its index still fits: the file
// always ends finished. The room is claimed in steps with fallocate, the
// file's size unchanged; what is left past the end is given back at the end.

#include <cstdint>

#include "base/error.h"

namespace vemo {

class FileRoom {
  public:
    // For the capture file open on `fd`: its blocks up to its present size
    // (a pre-allocated file's) count as room already held.
    explicit FileRoom(int fd);

    // Room for the file to reach `end` bytes with `frames` frames and still
    // take the index and the frames on their way; refused, with why, when
    // the disk, the quota or the file-size limit has no more.
    Result<> MakeRoom(std::uint64_t end, std::uint64_t frames);

    // Gives back what was claimed past `end`, the file's final length.
    void GiveBack(std::uint64_t end);

    // What must stay free past the end for `frames` frames: the index (16
    // bytes a frame), the header's rewrite, and the frames still between the
    // camera and the writer once it stops taking them.
    static std::uint64_t Reserve(std::uint64_t frames);

  private:
    int fd_;
    std::uint64_t held_end_ = 0;  // claimed up to here
    std::uint64_t limit_;         // the process's file-size limit
};

}  // namespace vemo
