// The capture file on real files: reserving space, the free space, the
// recording's length and its copy.

#include "capfile/capture_file.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

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
    std::string error;
    ASSERT_TRUE(AllocCapFile(path, 3 * kMiB, &error)) << error;
    EXPECT_EQ(FileSize64(path), 3 * kMiB);
    const std::vector<std::uint8_t> bytes = test::ReadBytes(path);
    EXPECT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);

    // Asking for less never cuts the file.
    ASSERT_TRUE(AllocCapFile(path, kMiB, &error)) << error;
    EXPECT_EQ(FileSize64(path), 3 * kMiB);

    const std::string fresh = dir / "fresh.avi";
    ASSERT_TRUE(AllocCapFile(fresh, 2 * kMiB, &error)) << error;
    EXPECT_EQ(FileSize64(fresh), 2 * kMiB);

    EXPECT_FALSE(AllocCapFile(dir / "missing/capture.avi", kMiB, &error));
    EXPECT_NE(error.find("missing/capture.avi"), std::string::npos) << error;
    EXPECT_EQ(FileSize64(dir / "missing/capture.avi"), 0u);
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
