// The engine window while a screen grab with the real pauses runs: its event
// loop goes on, so a camera-like timer keeps firing, and the grab's result
// reaches the window afterwards.

#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "app/main_window.h"
#include "app/message_box.h"
#include "imaging/published_files.h"
#include "product/shared_status_block.h"
#include "screen/xvfb_display.h"
#include "settings/settings_store.h"
#include "support/test_support.h"

namespace vemo {
namespace {

namespace fs = std::filesystem;

TEST(ScreenWindowTest, TheWindowRunsItsTimersWhileAGrabPauses) {
    test::XvfbDisplay display(1024, 768, 24);
    ASSERT_TRUE(display.ok()) << display.error();
    setenv("DISPLAY", display.name().c_str(), 1);
    const test::TempDir dir;
    setenv("VEMO_SETTINGS_FILE", (dir / "settings.ini").c_str(), 1);
    fs::create_directories(dir.path() / "vemo" / "bak");
    const fs::path previous_dir = fs::current_path();
    fs::current_path(dir.path());
    std::vector<MessageRequest> messages;
    SetMessageSink([&](const MessageRequest& request) {
        messages.push_back(request);
        return kMessageOk;
    });
    // i-mode with 3 x 3 tiles: ten pauses of 100 ms in every grab.
    WriteSetting(SETTING_SCREEN_ONE, 0);
    WriteSetting(SETTING_SCREEN_DIVISION, 3);

    {
        MainWindow window;
        // Counts its ticks while the grab runs, and ends the wait once the
        // grab is over.
        QEventLoop loop;
        QTimer camera_like;
        int ticks_during_grab = 0;
        bool grab_over = false;
        QObject::connect(&camera_like, &QTimer::timeout, [&] {
            if (shared_status_block().screen_busy() == 1) {
                ++ticks_during_grab;
            } else if (ticks_during_grab > 0 || fs::exists(published::TileName(2, 2, ".gif"))) {
                grab_over = true;
                loop.quit();
            }
        });
        camera_like.start(20);
        QTimer::singleShot(std::chrono::seconds(60), &loop, &QEventLoop::quit);

        window.StartScreenPublishing();  // returns with the grab under way
        loop.exec();
        EXPECT_TRUE(grab_over);
        EXPECT_GE(ticks_during_grab, 2);
        for (int a = 0; a < 3; ++a) {
            for (int b = 0; b < 3; ++b)
                EXPECT_TRUE(fs::exists(published::TileName(a, b, ".jpg"))) << a << b;
        }
        EXPECT_TRUE(messages.empty());

        // A stop while the next grab pauses leaves the stop's files only.
        window.GrabScreen();
        window.StopScreenPublishing();
        EXPECT_FALSE(fs::exists(published::kScreenJpeg));
        EXPECT_FALSE(fs::exists(published::TileName(0, 0, ".jpg")));
        EXPECT_EQ(shared_status_block().screen_busy(), 0);
    }
    SetMessageSink(nullptr);
    fs::current_path(previous_dir);
}

}  // namespace
}  // namespace vemo
