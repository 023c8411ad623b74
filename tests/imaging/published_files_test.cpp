#include "imaging/published_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "camera/camera_publish.h"
#include "product/shared_status_block.h"
#include "support/test_support.h"

namespace vemo {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::WriteBytes;

// Runs each test inside a fresh working directory with vemo/ and vemo/bak/,
// the status pictures of an installation, and a shared record in real
// shared memory (MAP_SHARED survives fork, so child processes see it).
class PublishTest : public testing::Test {
  protected:
    void SetUp() override {
        previous_dir_ = fs::current_path();
        fs::current_path(dir_.path());
        fs::create_directories("vemo/bak");
        for (const char* name :
             {"cameraon.gif", "cameraoff.gif", "cameraoff.jpg", "vemooff.gif", "screenon.gif",
              "screenoff.gif", "screenoff.jpg", "vemoscoff.gif"}) {
            const std::string text = name;
            WriteBytes("vemo/bak/" + text, {text.begin(), text.end()});
        }
        record_ = mmap(nullptr, SharedStatusBlock::kSize, PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(record_, MAP_FAILED);
        AttachSharedStatusBlock(record_);
        jobs_ = PrepareCameraJobs(160, 120, 120, 64);
        FillFrame(0);
    }
    void TearDown() override {
        AttachSharedStatusBlock(nullptr);
        munmap(record_, SharedStatusBlock::kSize);
        SetFileOperations(nullptr);
        fs::current_path(previous_dir_);
    }

    void FillFrame(int seed) {
        const std::size_t stride = JpegRowStride(160, 24);
        buffer_.pixels.assign(stride * 120, 0);
        buffer_.width = 160;
        buffer_.height = 120;
        for (std::size_t y = 0; y < 120; ++y) {
            for (std::size_t x = 0; x < 160; ++x) {
                std::uint8_t* p = &buffer_.pixels[y * stride + 3 * x];
                p[0] = static_cast<std::uint8_t>(x + seed);
                p[1] = static_cast<std::uint8_t>(y * 2);
                p[2] = static_cast<std::uint8_t>(seed * 7);
            }
        }
    }

    // A request answered by a frame, as the grabber leaves it.
    PublishResult Publish() {
        buffer_.frame_requested = true;
        buffer_.fresh = true;
        return PublishCameraFrame(buffer_, jobs_, gif_colors_);
    }

    static std::set<std::string> Files() {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator("vemo")) {
            if (entry.is_regular_file()) names.insert(entry.path().filename().string());
        }
        return names;
    }

    test::TempDir dir_;
    fs::path previous_dir_;
    void* record_ = nullptr;
    FrameBuffer buffer_;
    CameraJobs jobs_;
    std::uint32_t gif_colors_ = 64;
};

// Real file calls, except that a chosen operation fails while `failing` is set.
class FlakyFiles : public FileOperations {
  public:
    bool fail_rename = false;
    int pauses = 0;
    bool Rename(const std::string& from, const std::string& to) override {
        return !fail_rename && FileOperations::Rename(from, to);
    }
    void Pause(int) override { ++pauses; }
};

TEST_F(PublishTest, PublishesBothPicturesOncePerRequest) {
    FlakyFiles files;
    SetFileOperations(&files);
    EXPECT_EQ(jobs_.gif.max_height, 90u) << "120 wide at 4:3";

    const PublishResult first = Publish();
    ASSERT_TRUE(first.published) << first.error.message;
    EXPECT_EQ(files.pauses, 0) << "a first publish with no picture yet does not wait";
    const auto jpeg = test::DecodeJpeg("vemo/vemo.jpg");
    const auto gif = test::DecodeGif("vemo/vemo.gif");
    ASSERT_TRUE(jpeg.ok);
    ASSERT_TRUE(gif.ok);
    EXPECT_EQ(jpeg.width, 160u);
    EXPECT_EQ(gif.width, 80);  // 160 does not fit in 120: half size
    EXPECT_LE(gif.color_count, 64);
    EXPECT_EQ(Files(), (std::set<std::string>{"vemo.jpg", "vemo.gif"}));
    EXPECT_EQ(shared_status_block().camera_busy(), 0);

    // A second frame message for the same request changes nothing.
    const auto before = ReadBytes("vemo/vemo.jpg");
    shared_status_block().set_camera_busy(0);
    FillFrame(50);
    EXPECT_FALSE(PublishCameraFrame(buffer_, jobs_, gif_colors_).published);
    EXPECT_EQ(ReadBytes("vemo/vemo.jpg"), before);

    // A late frame message for a new request that has no frame yet publishes
    // nothing and leaves the request open for the frame still to come.
    buffer_.frame_requested = true;
    EXPECT_FALSE(PublishCameraFrame(buffer_, jobs_, gif_colors_).published);
    EXPECT_TRUE(buffer_.frame_requested);
    EXPECT_EQ(shared_status_block().camera_busy(), 0);
    EXPECT_EQ(ReadBytes("vemo/vemo.jpg"), before);

    // A colour count changed in the engine applies to the next frame.
    gif_colors_ = 8;
    ASSERT_TRUE(Publish().published);
    EXPECT_LE(test::DecodeGif("vemo/vemo.gif").color_count, 8);
}

TEST_F(PublishTest, NamesPlantedAtTheTemporaryNamesNeitherRedirectNorBlockAPublish) {
    // A link to a file outside vemo/, and FIFOs that would block a writer.
    WriteBytes("precious.txt", {'k', 'e', 'e', 'p'});
    fs::create_symlink(fs::absolute("precious.txt"), "vemo/tmp.jpg");
    ASSERT_EQ(mkfifo("vemo/tmp.gif", 0600), 0);
    ASSERT_EQ(mkfifo("vemo/cameraon.gif.tmp", 0600), 0);
    ASSERT_TRUE(Publish().published);
    EXPECT_EQ(ReadBytes("precious.txt"), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(fs::is_symlink("vemo/vemo.jpg"));
    EXPECT_TRUE(test::DecodeJpeg("vemo/vemo.jpg").ok);
    EXPECT_TRUE(test::DecodeGif("vemo/vemo.gif").ok);
    // A device at a temporary name (only root can plant one) is neither
    // written into, nor renamed over the published picture, nor removed.
    const std::vector<std::uint8_t> gif = ReadBytes("vemo/vemo.gif");
    if (test::MakeNullDevice("vemo/tmp.gif")) {
        EXPECT_FALSE(Publish().published);
        EXPECT_EQ(ReadBytes("vemo/vemo.gif"), gif);
        EXPECT_TRUE(fs::is_character_file("vemo/tmp.gif"));
    }
    PublishCameraPreviewStarted();
    EXPECT_EQ(ReadBytes("vemo/cameraon.gif"), ReadBytes("vemo/bak/cameraon.gif"));
    // A FIFO in place of a status picture is not waited on either.
    fs::remove("vemo/bak/cameraoff.gif");
    ASSERT_EQ(mkfifo("vemo/bak/cameraoff.gif", 0600), 0);
    EXPECT_FALSE(CopyStatusPicture("vemo/bak/cameraoff.gif", "vemo/cameraon.gif"));
    EXPECT_EQ(ReadBytes("vemo/cameraon.gif"), ReadBytes("vemo/bak/cameraon.gif"));
}

TEST_F(PublishTest, FailedStepsKeepThePreviousPictures) {
    ASSERT_TRUE(Publish().published);
    const auto jpeg = ReadBytes("vemo/vemo.jpg"), gif = ReadBytes("vemo/vemo.gif");

    // The coder refuses the frame.
    buffer_.width = 0;
    PublishResult result = Publish();
    EXPECT_FALSE(result.published);
    EXPECT_FALSE(result.error.ok());
    EXPECT_EQ(shared_status_block().camera_busy(), 0);

    // The frame is larger than what the buffer holds: never read past its end.
    buffer_.width = 1920;
    buffer_.height = 1080;
    result = Publish();
    EXPECT_EQ(result.error.code, kErrFrameIncomplete);
    buffer_.width = 160;
    buffer_.height = 120;

    // A reader holds the published file past every retry.
    FlakyFiles files;
    files.fail_rename = true;
    SetFileOperations(&files);
    FillFrame(99);
    result = Publish();
    EXPECT_EQ(result.error.code, kErrReplaceFailed);
    EXPECT_EQ(files.pauses, 10) << "ten tries, 10 ms apart";
    EXPECT_EQ(shared_status_block().camera_busy(), 0);

    EXPECT_EQ(ReadBytes("vemo/vemo.jpg"), jpeg);
    EXPECT_EQ(ReadBytes("vemo/vemo.gif"), gif);
    EXPECT_EQ(Files(), (std::set<std::string>{"vemo.jpg", "vemo.gif"})) << "no temporary left";
}

TEST_F(PublishTest, ReadersAlwaysFindWholePictures) {
    ASSERT_TRUE(Publish().published);
    auto* stop = static_cast<volatile std::uint8_t*>(record_) + 100;
    auto* busy_seen = static_cast<volatile std::uint8_t*>(record_) + 101;

    const pid_t reader = fork();
    if (reader == 0) {
        int failures = 0, reads = 0;
        while (*stop == 0 || reads == 0) {
            if (!test::DecodeJpeg("vemo/vemo.jpg").ok || !test::DecodeGif("vemo/vemo.gif").ok) {
                ++failures;
            }
            if (shared_status_block().camera_busy() != 0) *busy_seen = 1;
            ++reads;
        }
        _exit(failures == 0 ? 0 : 1);
    }
    ASSERT_GT(reader, 0);
    for (int i = 0; i < 500; ++i) {
        FillFrame(i);
        ASSERT_TRUE(Publish().published) << i;
    }
    *stop = 1;
    int status = 0;
    ASSERT_EQ(waitpid(reader, &status, 0), reader);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a reader saw a broken picture";
    EXPECT_EQ(*busy_seen, 1) << "the other process saw camera_busy raised";
    EXPECT_EQ(shared_status_block().camera_busy(), 0);
}

TEST_F(PublishTest, StatusPicturesFollowStartsAndStops) {
    const auto bak = [](const char* name) { return ReadBytes(std::string("vemo/bak/") + name); };

    PublishCameraPreviewStarted();
    EXPECT_EQ(ReadBytes("vemo/cameraon.gif"), bak("cameraon.gif"));
    ASSERT_TRUE(Publish().published);
    PublishCameraPreviewStopped();
    EXPECT_EQ(ReadBytes("vemo/cameraon.gif"), bak("cameraoff.gif"));
    EXPECT_EQ(ReadBytes("vemo/vemo.jpg"), bak("cameraoff.jpg"));
    EXPECT_EQ(ReadBytes("vemo/vemo.gif"), bak("vemooff.gif"));

    PublishScreenCaptureStarted();
    EXPECT_EQ(ReadBytes("vemo/screenon.gif"), bak("screenon.gif"));
    WriteBytes("vemo/vemosc.jpg", {1});
    for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) {
            WriteBytes(published::TileName(a, b, ".jpg"), {1});
            WriteBytes(published::TileName(a, b, ".gif"), {1});
        }
    }
    PublishScreenCaptureStopped(3);
    EXPECT_EQ(Files(), (std::set<std::string>{"cameraon.gif", "vemo.jpg", "vemo.gif",
                                              "screenon.gif", "vemosc1.jpg", "vemosc.gif"}));
    EXPECT_EQ(ReadBytes("vemo/screenon.gif"), bak("screenoff.gif"));
    EXPECT_EQ(ReadBytes("vemo/vemosc1.jpg"), bak("screenoff.jpg"));
    EXPECT_EQ(ReadBytes("vemo/vemosc.gif"), bak("vemoscoff.gif"));

    // Stopping twice is harmless; without an installation's pictures the
    // camera frame is withdrawn rather than left looking live.
    PublishScreenCaptureStopped(3);
    fs::remove("vemo/bak/cameraoff.jpg");
    ASSERT_TRUE(Publish().published);
    PublishCameraPreviewStopped();
    EXPECT_FALSE(fs::exists("vemo/vemo.jpg"));
    EXPECT_EQ(ReadBytes("vemo/vemo.gif"), bak("vemooff.gif"));
    EXPECT_EQ(published::TileName(12, 3, ".gif"), "vemo/vemosc13.gif");
}

// Real file calls, each recorded with its paths relative to `root`, so a test
// can check their order. Sync fails on demand.
class RecordedFiles : public FileOperations {
  public:
    explicit RecordedFiles(fs::path root) : root_(std::move(root)) {}

    std::vector<std::string> calls;
    bool fail_sync = false;

    bool Remove(const std::string& path) override {
        calls.push_back("Remove " + Name(path));
        return FileOperations::Remove(path);
    }
    bool Rename(const std::string& from, const std::string& to) override {
        calls.push_back("Rename " + Name(from) + " " + Name(to));
        return FileOperations::Rename(from, to);
    }
    bool Copy(const std::string& from, const std::string& to) override {
        calls.push_back("Copy " + Name(from) + " " + Name(to));
        return FileOperations::Copy(from, to);
    }
    bool Sync(const std::string& path) override {
        calls.push_back("Sync " + Name(path));
        return !fail_sync && FileOperations::Sync(path);
    }
    void Pause(int) override { calls.push_back("Pause"); }

  private:
    std::string Name(const std::string& path) const {
        return fs::path(path).lexically_relative(root_).string();
    }

    fs::path root_;
};

// A crash between the rename and the data reaching the disk would leave the
// published name holding an empty or partial picture: flushed replacements
// sync the new file before renaming it.
TEST(PublishedFileReplacement, FlushesTheNewFileBeforeRenamingIt) {
    using Calls = std::vector<std::string>;
    using Bytes = std::vector<std::uint8_t>;
    const test::TempDir dir;
    const std::string temp = dir / "tmp.jpg", target = dir / "vemo.jpg";
    RecordedFiles files(dir.path());
    SetFileOperations(&files);

    WriteBytes(target, {1});
    WriteBytes(temp, {2, 2});
    EXPECT_TRUE(ReplacePublishedFile(temp, target, Durability::kFlushed));
    EXPECT_EQ(files.calls, (Calls{"Sync tmp.jpg", "Rename tmp.jpg vemo.jpg"}));
    EXPECT_EQ(ReadBytes(target), (Bytes{2, 2}));

    files.calls.clear();
    WriteBytes(temp, {3});
    EXPECT_TRUE(ReplacePublishedFile(temp, target, Durability::kUnflushed));
    EXPECT_EQ(files.calls, (Calls{"Rename tmp.jpg vemo.jpg"})) << "unflushed: no sync";
    EXPECT_EQ(ReadBytes(target), (Bytes{3}));

    // Data that may not be on the disk is never published.
    files.calls.clear();
    files.fail_sync = true;
    WriteBytes(temp, {4});
    EXPECT_FALSE(ReplacePublishedFile(temp, target, Durability::kFlushed));
    EXPECT_EQ(files.calls, (Calls{"Sync tmp.jpg", "Remove tmp.jpg"}));
    EXPECT_EQ(ReadBytes(target), (Bytes{3}));
    EXPECT_FALSE(fs::exists(temp));

    // Status pictures are published flushed.
    files.calls.clear();
    files.fail_sync = false;
    fs::create_directory(dir / "bak");
    WriteBytes(dir / "bak/cameraon.gif", {5});
    EXPECT_TRUE(CopyStatusPicture(dir / "bak/cameraon.gif", dir / "cameraon.gif"));
    EXPECT_EQ(files.calls, (Calls{"Copy bak/cameraon.gif cameraon.gif.tmp", "Sync cameraon.gif.tmp",
                                  "Rename cameraon.gif.tmp cameraon.gif"}));
    EXPECT_EQ(ReadBytes(dir / "cameraon.gif"), (Bytes{5}));

    SetFileOperations(nullptr);
}

}  // namespace
}  // namespace vemo
