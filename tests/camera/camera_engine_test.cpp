// The vemo program with a test camera, as the product meets it: real shared
// memory, real files, real signals, message boxes answered through
// VEMO_MESSAGE_ANSWERS and written to its standard error.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "product/shared_status_block.h"
#include "support/test_support.h"

namespace vemo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 15s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

class CameraEngineTest : public testing::Test {
  protected:
    void SetUp() override {
        shm_name_ = "/vemo-camera-test-" + std::to_string(getpid());
        const int fd = shm_open(shm_name_.c_str(), O_CREAT | O_RDWR | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, SharedStatusBlock::kSize), 0);
        record_ =
            mmap(nullptr, SharedStatusBlock::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        ASSERT_NE(record_, MAP_FAILED);
        SharedStatusBlock(record_).set_product_ready(1);
        fs::create_directories(dir_.path() / "vemo/bak");
        for (const auto& entry : fs::directory_iterator(VEMO_BAK_DIR)) {
            fs::copy_file(entry.path(), dir_.path() / "vemo/bak" / entry.path().filename());
        }
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        munmap(record_, SharedStatusBlock::kSize);
        shm_unlink(shm_name_.c_str());
    }

    void Start(const std::string& settings, const std::string& cameras) {
        test::WriteBytes((dir_.path() / "settings.ini").string(),
                         {settings.begin(), settings.end()});
        err_ = (dir_.path() / "err").string();
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(dir_.path().c_str()) != 0 || !std::freopen(err_.c_str(), "w", stderr))
                _exit(127);
            setenv("CORVEXA_SHM", shm_name_.c_str(), 1);
            setenv("VEMO_SETTINGS_FILE", (dir_.path() / "settings.ini").c_str(), 1);
            setenv("VEMO_MESSAGE_ANSWERS", "1", 1);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            setenv("VEMO_TEST_CAMERAS", cameras.c_str(), 1);
            // The product's library by its directory too: under the address
            // sanitizer, dlopen looks past the program's own run path.
            setenv("LD_LIBRARY_PATH", TANDREL_DIR, 1);
            execl(VEMO_PATH, VEMO_PATH, nullptr);
            _exit(127);
        }
    }
    int Stop() {
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 500; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }
    std::string Errors() const {
        const auto bytes = test::ReadBytes(err_);
        return {bytes.begin(), bytes.end()};
    }
    std::vector<std::uint8_t> Published(const char* name) const {
        return test::ReadBytes((dir_.path() / "vemo" / name).string());
    }
    std::vector<std::uint8_t> Bak(const char* name) const {
        return test::ReadBytes((dir_.path() / "vemo/bak" / name).string());
    }
    ino_t Inode(const char* name) const {
        struct stat info {};
        return stat((dir_.path() / "vemo" / name).c_str(), &info) == 0 ? info.st_ino : 0;
    }

    test::TempDir dir_;
    std::string shm_name_;
    void* record_ = nullptr;
    pid_t pid_ = -1;
    std::string err_;
};

TEST_F(CameraEngineTest, PublishesTheTestCameraFromStartUp) {
    Start("[General]\ncamera_capture=1\ncamera_timer=1\ncamera_gif_color=32\n", "1");
    ASSERT_TRUE(WaitFor([&] { return Inode("vemo.jpg") != 0 && Inode("vemo.gif") != 0; }))
        << Errors();
    EXPECT_EQ(Published("cameraon.gif"), Bak("cameraon.gif"));
    const auto jpeg = test::DecodeJpeg((dir_.path() / "vemo/vemo.jpg").string());
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.width, 640u);
    EXPECT_EQ(jpeg.height, 480u);
    const auto gif = test::DecodeGif((dir_.path() / "vemo/vemo.gif").string());
    ASSERT_TRUE(gif.ok);
    EXPECT_LE(gif.width, 120);
    EXPECT_LE(gif.color_count, 32);

    // Timer 1 publishes the next frame a second later: a new file is renamed
    // into place.
    const ino_t first = Inode("vemo.jpg");
    ASSERT_TRUE(WaitFor([&] { return Inode("vemo.jpg") != first && Inode("vemo.jpg") != 0; }, 5s));
    // Raised while the pictures are replaced, lowered after.
    EXPECT_TRUE(WaitFor([&] { return SharedStatusBlock(record_).camera_busy() == 0; }, 2s));

    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(Published("cameraon.gif"), Bak("cameraoff.gif"));
    EXPECT_EQ(Published("vemo.jpg"), Bak("cameraoff.jpg"));
    EXPECT_EQ(Published("vemo.gif"), Bak("vemooff.gif"));
    EXPECT_EQ(Errors().find("message:"), std::string::npos) << Errors();
}

TEST_F(CameraEngineTest, AFullHdCameraFromTheEnvironment) {
    Start("[General]\ncamera_capture=1\n", "Desk|1920x1080|fps=5");
    ASSERT_TRUE(WaitFor([&] { return Inode("vemo.gif") != 0; })) << Errors();
    const auto jpeg = test::DecodeJpeg((dir_.path() / "vemo/vemo.jpg").string());
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.width, 1920u);
    EXPECT_EQ(jpeg.height, 1080u);
    EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace vemo
