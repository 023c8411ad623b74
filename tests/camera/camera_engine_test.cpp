// The vemo program with a test camera, as the product meets it: real shared
// memory, real files, real signals, message boxes answered through
// VEMO_MESSAGE_ANSWERS and written to its standard error.

#include <gtest/gtest.h>

#include <memory>

#include "support/engine_harness.h"

namespace vemo {
namespace {

using namespace std::chrono_literals;
using test::WaitFor;

class CameraEngineTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(install_.ok());
        install_.block().set_product_ready(1);
    }

    void Start(const std::string& settings, const std::string& cameras) {
        install_.WriteSettings(settings);
        engine_ = std::make_unique<test::EngineProcess>(
            install_, "1", std::vector<std::string>{"VEMO_TEST_CAMERAS=" + cameras});
    }
    int Stop() { return engine_->Stop(); }
    std::string Errors() const { return engine_->Errors(); }
    std::vector<std::uint8_t> Published(const char* name) const { return install_.Published(name); }
    std::vector<std::uint8_t> Bak(const char* name) const { return install_.Bak(name); }
    ino_t Inode(const char* name) const { return install_.Inode(name); }

    test::EngineInstallation install_;
    std::unique_ptr<test::EngineProcess> engine_;
};

TEST_F(CameraEngineTest, PublishesTheTestCameraFromStartUp) {
    Start("[General]\ncamera_capture=1\ncamera_timer=1\ncamera_gif_color=32\n", "1");
    ASSERT_TRUE(WaitFor([&] { return Inode("vemo.jpg") != 0 && Inode("vemo.gif") != 0; }))
        << Errors();
    EXPECT_EQ(Published("cameraon.gif"), Bak("cameraon.gif"));
    const auto jpeg = test::DecodeJpeg((install_.dir() / "vemo/vemo.jpg").string());
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.width, 640u);
    EXPECT_EQ(jpeg.height, 480u);
    const auto gif = test::DecodeGif((install_.dir() / "vemo/vemo.gif").string());
    ASSERT_TRUE(gif.ok);
    EXPECT_LE(gif.width, 120);
    EXPECT_LE(gif.color_count, 32);

    // Timer 1 publishes the next frame a second later: a new file is renamed
    // into place.
    const ino_t first = Inode("vemo.jpg");
    ASSERT_TRUE(WaitFor([&] { return Inode("vemo.jpg") != first && Inode("vemo.jpg") != 0; }, 5s));
    // Raised while the pictures are replaced, lowered after.
    EXPECT_TRUE(WaitFor([&] { return install_.block().camera_busy() == 0; }, 2s));

    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(Published("cameraon.gif"), Bak("cameraoff.gif"));
    EXPECT_EQ(Published("vemo.jpg"), Bak("cameraoff.jpg"));
    EXPECT_EQ(Published("vemo.gif"), Bak("vemooff.gif"));
    EXPECT_EQ(Errors().find("message:"), std::string::npos) << Errors();
}

TEST_F(CameraEngineTest, AFullHdCameraFromTheEnvironment) {
    Start("[General]\ncamera_capture=1\n", "Desk|1920x1080|fps=5");
    ASSERT_TRUE(WaitFor([&] { return Inode("vemo.gif") != 0; })) << Errors();
    const auto jpeg = test::DecodeJpeg((install_.dir() / "vemo/vemo.jpg").string());
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.width, 1920u);
    EXPECT_EQ(jpeg.height, 1080u);
    EXPECT_EQ(Stop(), 0);
}

}  // namespace
}  // namespace vemo
