// The capture file on real files: reserving space, the free space, the
// recording's length and its copy.

#include "capfile/capture_file.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <tuple>
#include <vector>

#include "base/unique_fd.h"

#include "support/test_support.h"

namespace vemo {
namespace {

constexpr std::uint64_t kMiB = 1 << 20;

void PutChunkHeader(std::vector<std::uint8_t>& bytes, const char* form, std::uint32_t size) {
    const std::uint8_t header[12] = {'R',
                                     'I',
                                     'F',
                                     'F',
                                     static_cast<std::uint8_t>(size),
                                     static_cast<std::uint8_t>(size >> 8),
                                     static_cast<std::uint8_t>(size >> 16),
                                     static_cast<std::uint8_t>(size >> 24),
                                     static_cast<std::uint8_t>(form[0]),
                                     static_cast<std::uint8_t>(form[1]),
                                     static_cast<std::uint8_t>(form[2]),
                                     static_cast<std::uint8_t>(form[3])};
    bytes.insert(bytes.end(), header, header + sizeof header);
}

// An 'AVI ' chunk and an odd-sized 'AVIX' chunk (with its pad byte) of
// patterned bytes, then `tail` bytes of reserved space.
std::vector<std::uint8_t> Recording(std::uint32_t avi_size, std::uint32_t avix_size,
                                    std::size_t tail, std::size_t* length) {
    std::vector<std::uint8_t> bytes;
    PutChunkHeader(bytes, "AVI ", avi_size);
    for (std::uint32_t i = 4; i < avi_size; ++i)
        bytes.push_back(static_cast<std::uint8_t>(i * 7));
    PutChunkHeader(bytes, "AVIX", avix_size);
    for (std::uint32_t i = 4; i < avix_size; ++i)
        bytes.push_back(static_cast<std::uint8_t>(i * 3));
    if (avix_size % 2 != 0) bytes.push_back(0);
    *length = bytes.size();
    bytes.resize(bytes.size() + tail, 0);
    return bytes;
}

void PutLittleEndian32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

void PutTag(std::vector<std::uint8_t>& bytes, const char* tag, std::uint32_t size) {
    bytes.insert(bytes.end(), tag, tag + 4);
    PutLittleEndian32(bytes, size);
}

// A recording laid out as avimux writes it: the header ('hdrl'), the 'movi'
// list of `frames` Motion JPEG chunks and, when `finished`, the sizes filled
// in and the index after the frames. Unfinished, the header keeps the
// placeholders written before the first frame: an empty 'movi' list, with the
// RIFF size ending there.
std::vector<std::uint8_t> MuxedRecording(int frames, bool finished) {
    constexpr std::uint32_t kFrameBytes = 9001;  // odd, so each frame is padded
    constexpr std::uint32_t kHeaderBytes = 760;
    const std::uint32_t movi_size = 4 + (finished ? frames * (8 + kFrameBytes + 1) : 0);
    const std::uint32_t index_size = 16 * static_cast<std::uint32_t>(frames);
    const std::uint32_t riff_size =
        4 + 8 + kHeaderBytes + 8 + movi_size + (finished ? 8 + index_size : 0);
    std::vector<std::uint8_t> bytes;
    PutTag(bytes, "RIFF", riff_size);
    bytes.insert(bytes.end(), {'A', 'V', 'I', ' '});
    PutTag(bytes, "LIST", kHeaderBytes);
    bytes.insert(bytes.end(), {'h', 'd', 'r', 'l'});
    bytes.resize(bytes.size() + kHeaderBytes - 4, 0);
    PutTag(bytes, "LIST", movi_size);
    bytes.insert(bytes.end(), {'m', 'o', 'v', 'i'});
    for (int frame = 0; frame < frames; ++frame) {
        PutTag(bytes, "00db", kFrameBytes);
        for (std::uint32_t i = 0; i <= kFrameBytes; ++i)
            bytes.push_back(static_cast<std::uint8_t>(i * 5 + static_cast<std::uint32_t>(frame)));
    }
    if (finished) {
        PutTag(bytes, "idx1", index_size);
        bytes.resize(bytes.size() + index_size, 0x11);
    }
    return bytes;
}

std::vector<std::string> Entries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(CaptureFileTest, AllocationKeepsWhatIsThere) {
    test::TempDir dir;
    const std::string path = dir / "capture.avi";
    test::WriteBytes(path, {'R', 'I', 'F', 'F'});
    const auto ok = [](const Result<>& result) { return result ? "" : result.error().text; };
    ASSERT_EQ(ok(AllocCapFile(path, 3 * kMiB)), "");
    EXPECT_EQ(FileSize64(path), 3 * kMiB);
    const std::vector<std::uint8_t> bytes = test::ReadBytes(path);
    EXPECT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);

    // Asking for less never cuts the file.
    ASSERT_EQ(ok(AllocCapFile(path, kMiB)), "");
    EXPECT_EQ(FileSize64(path), 3 * kMiB);

    const std::string fresh = dir / "fresh.avi";
    ASSERT_EQ(ok(AllocCapFile(fresh, 2 * kMiB)), "");
    EXPECT_EQ(FileSize64(fresh), 2 * kMiB);

    const Result<> missing = AllocCapFile(dir / "missing/capture.avi", kMiB);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::kNotFound);
    EXPECT_NE(missing.error().text.find("missing/capture.avi"), std::string::npos);
    EXPECT_EQ(FileSize64(dir / "missing/capture.avi"), 0u);
}

// Anything at the capture file's name that is not a regular file is refused
// at once: a FIFO without a reader would otherwise block open() for ever.
TEST(CaptureFileTest, OnlyARegularFileIsOpenedAndNothingBlocks) {
    test::TempDir dir;
    const std::string fifo = dir / "fifo.avi";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = dir / "folder.avi";
    std::filesystem::create_directory(folder);
    const std::string socket_path = dir / "socket.avi";
    const UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socket_path.c_str());
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

    // A link to a recording: followed, the recording would be overwritten.
    const std::string link = dir / "link.avi";
    const std::string linked = dir / "linked.avi";
    test::WriteBytes(linked, {'k', 'e', 'e', 'p'});
    ASSERT_EQ(symlink(linked.c_str(), link.c_str()), 0);

    for (const std::string& path : {fifo, folder, socket_path, link, std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        ASSERT_FALSE(CheckCaptureFilePath(path));
        EXPECT_EQ(CheckCaptureFilePath(path).error().kind, ErrorKind::kNotAFile);
        // Run aside, so that a blocked open fails the test instead of hanging
        // it; a reader on the FIFO then lets it go.
        auto opening = std::async(std::launch::async, [&path] {
            const Result<OpenedCaptureFile> opened = OpenCaptureFileForWriting(path);
            const Result<> allocated = AllocCapFile(path, kMiB);
            return std::make_tuple(opened.has_value(), opened ? "" : opened.error().text,
                                   allocated.has_value(), allocated ? "" : allocated.error().text);
        });
        if (opening.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            const UniqueFd reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
            opening.wait();
            ADD_FAILURE() << "opening blocked";
            continue;
        }
        const auto [opened, open_error, allocated, alloc_error] = opening.get();
        EXPECT_FALSE(opened);
        EXPECT_EQ(open_error.rfind(path + ": not a regular file", 0), 0u) << open_error;
        EXPECT_FALSE(allocated);
        EXPECT_NE(alloc_error.find("not a regular file"), std::string::npos) << alloc_error;
    }
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(test::ReadBytes(linked), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));

    // A regular file, new or existing, opens, keeps its bytes and blocks.
    const std::string file = dir / "capture.avi";
    EXPECT_TRUE(CheckCaptureFilePath(file));
    Result<OpenedCaptureFile> fresh = OpenCaptureFileForWriting(file);
    ASSERT_TRUE(fresh) << fresh.error().text;
    EXPECT_TRUE(fresh->created);
    ASSERT_EQ(write(fresh->fd.get(), "RIFF", 4), 4);
    EXPECT_EQ(fcntl(fresh->fd.get(), F_GETFL) & O_NONBLOCK, 0);
    fresh->fd.reset();
    const Result<OpenedCaptureFile> again = OpenCaptureFileForWriting(file);
    ASSERT_TRUE(again) << again.error().text;
    EXPECT_FALSE(again->created);
    EXPECT_EQ(test::ReadBytes(file), (std::vector<std::uint8_t>{'R', 'I', 'F', 'F'}));
    const Result<OpenedCaptureFile> missing =
        OpenCaptureFileForWriting(dir / "missing/capture.avi");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().text, dir / "missing/capture.avi" + ": No such file or directory");
    EXPECT_EQ(missing.error().kind, ErrorKind::kNotFound);
}

// Files of /proc and /sys are regular files: /proc/self/comm names the engine.
TEST(CaptureFileTest, KernelFilesAreRefused) {
    for (const char* path : {"/proc/self/comm", "/proc/version", "/sys/kernel/new.avi"}) {
        const std::string on = std::string(path).starts_with("/proc") ? "procfs" : "sysfs";
        const std::string refusal =
            std::string(path) + ": not a file on a disk (it is on " + on + ")";
        EXPECT_EQ(CheckCaptureFilePath(path).error().text, refusal);
        EXPECT_EQ(OpenCaptureFileForWriting(path).error().text, refusal);
    }
    EXPECT_TRUE(CheckCaptureFilePath("/dev/shm/capture.avi"));
}

TEST(CaptureFileTest, FreeSpaceOfTheFileFolder) {
    test::TempDir dir;
    EXPECT_GT(FreeDiskSpaceKB(dir / "not-yet.avi"), 0);
    EXPECT_EQ(FreeDiskSpaceKB(dir / "missing/capture.avi"), -1);
}

TEST(CaptureFileTest, RecordingLengthStopsAtTheReservedSpace) {
    test::TempDir dir;
    std::size_t length = 0;
    test::WriteBytes(dir / "capture.avi", Recording(100, 51, 4096, &length));
    EXPECT_EQ(length, 8u + 100 + 8 + 52);
    EXPECT_EQ(RecordingLength(dir / "capture.avi"), length);

    // Not a recording: all of it.
    test::WriteBytes(dir / "other.bin", std::vector<std::uint8_t>(1000, 'x'));
    EXPECT_EQ(RecordingLength(dir / "other.bin"), 1000u);
    // A chunk claiming more than the file holds ends with the file.
    std::vector<std::uint8_t> cut;
    PutChunkHeader(cut, "AVI ", 5000);
    cut.resize(300, 1);
    test::WriteBytes(dir / "cut.avi", cut);
    EXPECT_EQ(RecordingLength(dir / "cut.avi"), 300u);
}

TEST(CaptureFileTest, AnUnfinishedHeaderIsCopiedToTheEndOfTheFile) {
    test::TempDir dir;
    // A stop that timed out: the file was cut to what the muxer wrote, and
    // the header still claims an empty recording.
    const std::vector<std::uint8_t> unfinished = MuxedRecording(40, false);
    test::WriteBytes(dir / "unfinished.avi", unfinished);
    EXPECT_EQ(RecordingLength(dir / "unfinished.avi"), unfinished.size());
    const std::atomic<bool> abort{false};
    std::string error;
    ASSERT_EQ(CopyCaptureFile(dir / "unfinished.avi", dir / "saved.avi", nullptr, abort, &error),
              CopyOutcome::kSaved)
        << error;
    EXPECT_EQ(test::ReadBytes(dir / "saved.avi"), unfinished);

    // A finished one still ends at its chunks, reserved space left behind.
    std::vector<std::uint8_t> finished = MuxedRecording(40, true);
    const std::size_t length = finished.size();
    finished.resize(length + 4096, 0);
    test::WriteBytes(dir / "finished.avi", finished);
    EXPECT_EQ(RecordingLength(dir / "finished.avi"), length);
}

TEST(CaptureFileTest, CopyTakesTheRecordingWithProgress) {
    test::TempDir dir;
    std::size_t length = 0;
    const std::vector<std::uint8_t> source =
        Recording(static_cast<std::uint32_t>(3 * kMiB), 1001, 2 * kMiB, &length);
    test::WriteBytes(dir / "capture.avi", source);

    std::vector<int> percents;
    const std::atomic<bool> abort{false};
    std::string error;
    EXPECT_EQ(CopyCaptureFile(
                  dir / "capture.avi", dir / "saved.avi",
                  [&](int percent) { percents.push_back(percent); }, abort, &error),
              CopyOutcome::kSaved)
        << error;
    EXPECT_EQ(test::ReadBytes(dir / "saved.avi"),
              std::vector<std::uint8_t>(source.begin(),
                                        source.begin() + static_cast<std::ptrdiff_t>(length)));
    ASSERT_GE(percents.size(), 3u);
    EXPECT_EQ(percents.front(), 0);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_EQ(std::adjacent_find(percents.begin(), percents.end(), std::greater_equal<int>()),
              percents.end())
        << "each percent once, rising";
    EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"capture.avi", "saved.avi"}));
}

TEST(CaptureFileTest, AbortedCopyLeavesNothingBehind) {
    test::TempDir dir;
    std::size_t length = 0;
    test::WriteBytes(dir / "capture.avi",
                     Recording(static_cast<std::uint32_t>(4 * kMiB), 10, 0, &length));
    test::WriteBytes(dir / "saved.avi", {'o', 'l', 'd'});

    std::atomic<bool> abort{false};
    std::vector<int> percents;
    const auto press_escape = [&](int percent) {
        percents.push_back(percent);
        if (percent > 0) abort = true;
    };
    std::string error;
    EXPECT_EQ(CopyCaptureFile(dir / "capture.avi", dir / "saved.avi", press_escape, abort, &error),
              CopyOutcome::kAborted);
    EXPECT_EQ(percents.size(), 2u) << "no chunk after the abort";
    EXPECT_EQ(test::ReadBytes(dir / "saved.avi"), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"capture.avi", "saved.avi"}));
}

TEST(CaptureFileTest, CopyOntoItselfIsRefused) {
    test::TempDir dir;
    std::size_t length = 0;
    const std::vector<std::uint8_t> source = Recording(100, 20, 1000, &length);
    test::WriteBytes(dir / "capture.avi", source);
    ASSERT_EQ(link((dir / "capture.avi").c_str(), (dir / "same.avi").c_str()), 0);

    const std::atomic<bool> abort{false};
    int calls = 0;
    for (const char* name : {"capture.avi", "same.avi"}) {
        std::string error;
        EXPECT_EQ(CopyCaptureFile(
                      dir / "capture.avi", dir / name, [&](int) { ++calls; }, abort, &error),
                  CopyOutcome::kFailed)
            << name;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(test::ReadBytes(dir / "capture.avi"), source);
}

}  // namespace
}  // namespace vemo
