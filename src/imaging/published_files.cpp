#include "imaging/published_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "base/copy_fd.h"
#include "base/unique_fd.h"
#include "imaging/output_file.h"

namespace vemo {

namespace published {

namespace {

std::string DigitName(const char* stem, int first, int second, const char* extension) {
    std::string name = stem;
    name += std::to_string(first).front();
    name += std::to_string(second).front();
    name += extension;
    return name;
}

}  // namespace

std::string TileName(int first, int second, const char* extension) {
    return DigitName("vemo/vemosc", first, second, extension);
}

std::string TileTempName(int first, int second, const char* extension) {
    return DigitName("vemo/tmpsc", first, second, extension);
}

}  // namespace published

namespace {

constexpr int kRetryIntervalMs = 10;
constexpr int kPublishAttempts = 10;  // at most 100 ms while a reader holds the file
constexpr int kStopAttempts = 50;     // at most 500 ms when stopping

FileOperations real_operations;
FileOperations* current_operations = &real_operations;

// Puts `source` in place of `target`; with no source picture at all (a broken
// installation) the target is removed instead, so no stale picture stays
// published as if it were live.
void ReplaceWithOffPicture(const std::string& source, const std::string& target) {
    if (!CopyStatusPicture(source, target) && !file_operations().Exists(source)) {
        RemoveWithRetry(target, kRetryIntervalMs, kStopAttempts);
    }
}

}  // namespace

bool FileOperations::Remove(const std::string& path) {
    return unlink(path.c_str()) == 0;
}

bool FileOperations::Rename(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool FileOperations::Copy(const std::string& from, const std::string& to) {
    // Only a regular file is read (a FIFO would block the engine), and the
    // copy is a fresh file of its own, never written through a link.
    const UniqueFd source(open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!source || fstat(source.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    UniqueFd target(CreateFreshFile(to));
    if (!target) return false;
    if (!CopyAll(source.get(), target.get())) return false;
    return target.Close();
}

bool FileOperations::Sync(const std::string& path) {
    // Not through a link, never blocking on a FIFO, and only a regular file.
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    return fd && fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && fdatasync(fd.get()) == 0;
}

bool FileOperations::Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

void FileOperations::Pause(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

FileOperations& file_operations() {
    return *current_operations;
}

void SetFileOperations(FileOperations* operations) {
    current_operations = operations != nullptr ? operations : &real_operations;
}

void RemoveWithRetry(const std::string& path, int interval_ms, int attempts) {
    FileOperations& files = file_operations();
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (files.Remove(path) || !files.Exists(path)) return;
        files.Pause(interval_ms);
    }
}

bool ReplacePublishedFile(const std::string& temp, const std::string& published,
                          Durability durability) {
    FileOperations& files = file_operations();
    // Data first, then the name: after a crash the name holds a whole picture.
    if (durability == Durability::kUnflushed || files.Sync(temp)) {
        for (int attempt = 0; attempt < kPublishAttempts; ++attempt) {
            if (files.Rename(temp, published)) return true;
            files.Pause(kRetryIntervalMs);
        }
    }
    files.Remove(temp);
    return false;
}

bool CopyStatusPicture(const std::string& source, const std::string& target) {
    const std::string temp = target + ".tmp";
    if (!file_operations().Copy(source, temp)) {
        file_operations().Remove(temp);
        return false;
    }
    return ReplacePublishedFile(temp, target);
}

void PublishCameraPreviewStarted() {
    CopyStatusPicture(published::kBakCameraOnGif, published::kCameraStatus);
}

void PublishCameraPreviewStopped() {
    CopyStatusPicture(published::kBakCameraOffGif, published::kCameraStatus);
    ReplaceWithOffPicture(published::kBakCameraOffJpeg, published::kCameraJpeg);
    ReplaceWithOffPicture(published::kBakVemoOffGif, published::kCameraGif);
}

void PublishScreenCaptureStarted() {
    CopyStatusPicture(published::kBakScreenOnGif, published::kScreenStatus);
}

void PublishScreenCaptureStopped(int division) {
    FileOperations& files = file_operations();
    files.Remove(published::kScreenJpeg);
    // Tile digits are single characters: more than 10 divisions name no new tiles.
    const int count = std::clamp(division, 0, 10);
    for (int a = 0; a < count; ++a) {
        for (int b = 0; b < count; ++b) {
            files.Remove(published::TileName(a, b, ".jpg"));
            files.Remove(published::TileName(a, b, ".gif"));
        }
    }
    CopyStatusPicture(published::kBakScreenOffGif, published::kScreenStatus);
    ReplaceWithOffPicture(published::kBakScreenOffJpeg, published::kScreenWholeJpeg);
    ReplaceWithOffPicture(published::kBakVemoScOffGif, published::kScreenGif);
}

}  // namespace vemo
