#pragma once

// The AVI file a capture to file records into: its name and size, the free
// space beside it, reserving that space ahead of a recording, and saving a
// copy of the recording under another name. None of these shows anything;
// failures come back as an Error for the caller to show.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/unique_fd.h"

namespace vemo {

// The longest capture file path the engine keeps, in bytes. A longer choice
// is refused rather than cut, so the engine never records into a name the
// user did not choose.
inline constexpr std::size_t kCaptureFileNameMax = 259;

// What the file size dialog and the capture file commands share.
struct CaptureFileValues {
    std::string capture_file_name;         // empty until chosen; UTF-8
    std::uint16_t capture_file_mb = 0;     // MiB to pre-allocate
    std::int32_t max_capture_file_mb = 0;  // the size dialog's bound, in MiB
};

// The size of the regular file at `path`; 0 when there is none or it cannot
// be examined.
std::uint64_t FileSize64(const std::string& path);

// KiB free to this user on the volume holding `path`'s folder (`path` itself
// need not exist), at most INT32_MAX; -1 when unknown, as for a missing folder.
std::int32_t FreeDiskSpaceKB(const std::string& path);

// Whether `path` can be written as the capture file: refused (kNotAFile)
// when it exists and is not a regular file (a symbolic link, directory,
// FIFO, device or socket), or when it is, or would be made, on a file system
// of the kernel's own such as procfs or sysfs, whose files store nothing.
Result<> CheckCaptureFilePath(const std::string& path);

// Opens `path` for writing without truncating it, creating it (mode 0666)
// when absent; what CheckCaptureFilePath refuses is refused, before opening
// and again on the opened file. Never blocks (O_NONBLOCK until the type is
// checked). `created` says whether this call made the file. A failure says
// why ("PATH: reason").
struct OpenedCaptureFile {
    UniqueFd fd;
    bool created = false;
};
Result<OpenedCaptureFile> OpenCaptureFileForWriting(const std::string& path);

// Makes `path` at least `bytes` long with its blocks reserved. An existing
// file keeps its contents: a recording reuses the space. Anything but a
// regular file is refused. On failure a file made by this call is removed
// again.
Result<> AllocCapFile(const std::string& path, std::uint64_t bytes);

// The bytes of `path` that hold the recording: the RIFF 'AVI ' chunk at its
// start and the RIFF 'AVIX' chunks that follow it, not the reserved space
// after them. The whole file when it does not start with an AVI chunk, or
// when the muxer never finished the header (a crash, a stop that timed out):
// the sizes it holds are then placeholders.
std::uint64_t RecordingLength(const std::string& path);

// The number of frames a finished recording's header states; nullopt when
// `path` holds no AVI header or one the muxer never finished.
std::optional<std::uint64_t> RecordedFrames(const std::string& path);

enum class CopyOutcome { kSaved, kAborted, kFailed };

// Copies the recording of `from` (RecordingLength bytes) to `to`. `progress`
// hears 0, each new whole percent and, once `to` is complete, 100. `abort` is
// read between 1 MiB chunks. The copy is made beside `to` as an unnamed file
// and named `to` only when complete, so an aborted or failed copy, or one cut
// short by the end of the process, leaves nothing behind and an existing `to`
// intact. Copying a file onto
// itself is refused. Safe on any thread: it touches nothing but the files.
CopyOutcome CopyCaptureFile(const std::string& from, const std::string& to,
                            const std::function<void(int percent)>& progress,
                            const std::atomic<bool>& abort, std::string* error);

}  // namespace vemo
