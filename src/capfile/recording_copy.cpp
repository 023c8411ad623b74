// The recording at the start of a capture file, and its copy under another
// name.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "base/unique_fd.h"
#include "base/write_all.h"
#include "capfile/capture_file.h"

namespace vemo {
namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;

std::string Reason(int error_number) {
    return std::generic_category().message(error_number);
}

// Reads exactly `size` bytes at `offset`; false on an error or an early end.
bool ReadAt(int fd, unsigned char* buffer, std::size_t size, std::uint64_t offset) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t got =
            pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) {
            errno = 0;  // the file ended early
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

std::uint32_t LittleEndian32(const unsigned char* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

// Whether the 'AVI ' chunk ending at `riff_end` still has the header the
// muxer writes before the first frame: an empty 'movi' list with the frames
// after the end it claims. The muxer fills the sizes in only when it finishes,
// so a recording that never finished (a crash, a stop that timed out) looks
// like this whatever it holds.
bool IsProvisionalHeader(int fd, std::uint64_t riff_end, std::uint64_t file_size) {
    if (file_size <= riff_end) return false;
    for (std::uint64_t at = 12; at + 12 <= riff_end;) {
        unsigned char header[12];
        if (!ReadAt(fd, header, sizeof header, at)) return false;
        const std::uint32_t size = LittleEndian32(header + 4);
        if (std::memcmp(header, "LIST", 4) == 0 && std::memcmp(header + 8, "movi", 4) == 0)
            return size <= 4;
        at += 8 + std::uint64_t{size} + (size & 1);
    }
    return false;
}

std::uint64_t RecordingLengthOf(int fd, std::uint64_t file_size) {
    std::uint64_t end = 0;
    const char* form = "AVI ";
    while (end + 12 <= file_size) {
        unsigned char header[12];
        if (!ReadAt(fd, header, sizeof header, end)) break;
        if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, form, 4) != 0) break;
        const std::uint32_t size = LittleEndian32(header + 4);
        // Too small to hold even its form type: an unfinished header, not a
        // length to trust.
        if (size < 4) break;
        end += 8 + std::uint64_t{size} + (size & 1);
        // Its sizes are placeholders then; the engine cut the file to what
        // was written when the recording stopped, so all of it is recording.
        if (form[3] == ' ' && IsProvisionalHeader(fd, end, file_size)) return file_size;
        form = "AVIX";
    }
    // A recording cut short by a crash claims more than is there.
    return end == 0 ? file_size : std::min(end, file_size);
}

// The frame count the header of a finished recording states: OpenDML's
// total ('dmlh') where the muxer wrote one, else the video stream's length.
std::optional<std::uint64_t> FramesInHeader(int fd, std::uint64_t file_size) {
    unsigned char riff[12];
    if (file_size < 12 || !ReadAt(fd, riff, sizeof riff, 0) || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "AVI ", 4) != 0) {
        return std::nullopt;
    }
    const std::uint64_t riff_end = std::min<std::uint64_t>(8 + LittleEndian32(riff + 4), file_size);
    std::optional<std::uint64_t> stream_length, total;
    // Depth-first through the header lists, up to the frames.
    std::vector<std::uint64_t> ends{riff_end};
    for (std::uint64_t at = 12; !ends.empty();) {
        if (at + 8 > ends.back()) {
            at = ends.back();
            ends.pop_back();
            continue;
        }
        unsigned char chunk[12];
        if (!ReadAt(fd, chunk, 8, at)) return std::nullopt;
        const std::uint32_t size = LittleEndian32(chunk + 4);
        const std::uint64_t end = at + 8 + size + (size & 1);
        if (std::memcmp(chunk, "LIST", 4) == 0 && size >= 4) {
            if (!ReadAt(fd, chunk + 8, 4, at + 8)) return std::nullopt;
            // An empty frame list: the header the muxer writes before the
            // first frame, its counts not filled in yet.
            if (std::memcmp(chunk + 8, "movi", 4) == 0) {
                if (size <= 4) return std::nullopt;
                break;
            }
            ends.push_back(std::min(end, ends.back()));
            at += 12;
            continue;
        }
        unsigned char data[36];
        if (std::memcmp(chunk, "dmlh", 4) == 0 && size >= 4 && ReadAt(fd, data, 4, at + 8)) {
            total = LittleEndian32(data);
        }
        if (std::memcmp(chunk, "strh", 4) == 0 && size >= 36 && !stream_length &&
            ReadAt(fd, data, 36, at + 8) && std::memcmp(data, "vids", 4) == 0) {
            stream_length = LittleEndian32(data + 32);
        }
        at = end;
    }
    return total ? total : stream_length;
}

// The copy being made in its destination's folder. It is an unnamed file
// there (O_TMPFILE) until Commit() gives it the destination's name, so a copy
// cut short, by an abort, a failure or the engine being killed, leaves
// nothing behind. File systems without unnamed files get a named temporary
// file instead, removed again unless committed.
class PendingCopy {
  public:
    explicit PendingCopy(const std::string& destination) : destination_(destination) {
        folder_ = std::filesystem::path(destination).parent_path();
        if (folder_.empty()) folder_ = ".";
        fd_.reset(open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
        if (fd_) return;
        for (int attempt = 0; attempt < 100 && !fd_; ++attempt) {
            temporary_ = TemporaryName(attempt);
            fd_.reset(open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            if (!fd_ && errno != EEXIST) break;
        }
        if (!fd_) temporary_.clear();
    }
    ~PendingCopy() {
        fd_.reset();
        if (!temporary_.empty()) unlink(temporary_.c_str());
    }
    PendingCopy(const PendingCopy&) = delete;
    PendingCopy& operator=(const PendingCopy&) = delete;

    int fd() const { return fd_.get(); }
    bool is_open() const { return fd_.valid(); }

    // Makes the copy durable and gives it the destination's name.
    bool Commit() {
        if (fsync(fd_.get()) != 0) return false;
        // An unnamed file gets a temporary name first: a link cannot
        // replace an existing destination, a rename can.
        if (temporary_.empty() && !LinkUnnamed()) return false;
        if (!fd_.Close()) return false;
        if (rename(temporary_.c_str(), destination_.c_str()) != 0) return false;
        temporary_.clear();
        return true;
    }

  private:
    std::string TemporaryName(int attempt) const {
        return (folder_ /
                (".vemo-copy-" + std::to_string(getpid()) + "-" + std::to_string(attempt)))
            .string();
    }

    bool LinkUnnamed() {
        const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = TemporaryName(attempt);
            if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
                (errno == ENOENT &&  // no /proc: the call that needs privilege
                 linkat(fd_.get(), "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0)) {
                temporary_ = name;
                return true;
            }
            if (errno != EEXIST) return false;
        }
        return false;
    }

    std::string destination_;
    std::filesystem::path folder_;
    std::string temporary_;  // the copy's name while it has one
    UniqueFd fd_;
};

}  // namespace

std::uint64_t RecordingLength(const std::string& path) {
    // O_NONBLOCK: a FIFO without a writer must not hold the caller in open().
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
    return RecordingLengthOf(fd.get(), static_cast<std::uint64_t>(info.st_size));
}

std::optional<std::uint64_t> RecordedFrames(const std::string& path) {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return FramesInHeader(fd.get(), static_cast<std::uint64_t>(info.st_size));
}

CopyOutcome CopyCaptureFile(const std::string& from, const std::string& to,
                            const std::function<void(int percent)>& progress,
                            const std::atomic<bool>& abort, std::string* error) {
    const auto fail = [&](const std::string& text) {
        if (error != nullptr) *error = text;
        return CopyOutcome::kFailed;
    };
    const auto report = [&](int percent) {
        if (progress) progress(percent);
    };

    // O_NONBLOCK until the type is checked: a FIFO without a writer would
    // hold the copy in open(), out of reach of the abort flag.
    const UniqueFd source(open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!source) return fail("Cannot open " + from + ": " + Reason(errno));
    struct stat from_info {};
    if (fstat(source.get(), &from_info) != 0)
        return fail("Cannot read " + from + ": " + Reason(errno));
    if (!S_ISREG(from_info.st_mode)) return fail(from + " is not a file");
    struct stat to_info {};
    if (to == from || (stat(to.c_str(), &to_info) == 0 && to_info.st_dev == from_info.st_dev &&
                       to_info.st_ino == from_info.st_ino)) {
        return fail("Cannot copy " + from + " onto itself");
    }

    const std::uint64_t length =
        RecordingLengthOf(source.get(), static_cast<std::uint64_t>(from_info.st_size));
    PendingCopy copy(to);
    if (!copy.is_open()) return fail("Cannot create a file beside " + to + ": " + Reason(errno));

    std::vector<unsigned char> buffer(kChunk);
    report(0);
    int reported = 0;
    for (std::uint64_t done = 0; done < length;) {
        if (abort.load()) {
            if (error != nullptr) *error = "Copy aborted";
            return CopyOutcome::kAborted;
        }
        const std::size_t size =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, length - done));
        if (!ReadAt(source.get(), buffer.data(), size, done)) {
            return fail("Cannot read " + from + ": " +
                        (errno != 0 ? Reason(errno) : std::string("it ended early")));
        }
        if (!WriteAll(copy.fd(), buffer.data(), size))
            return fail("Cannot write " + to + ": " + Reason(errno));
        done += size;
        // 100 is kept for the finished copy.
        const int percent = static_cast<int>(done * 100 / length);
        if (percent > reported && percent < 100) {
            reported = percent;
            report(percent);
        }
    }
    if (!copy.Commit()) return fail("Cannot write " + to + ": " + Reason(errno));
    report(100);
    return CopyOutcome::kSaved;
}

}  // namespace vemo
