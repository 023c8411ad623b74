// Help > Contents: the desktop's handler first, the engine's own viewer when
// that handler cannot open the manual.

#include <QApplication>
#include <QDialog>
#include <QUrl>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "app/dialogs/manual_viewer.h"
#include "app/main_window.h"
#include "app/menus.h"
#include "app/message_box.h"
#include "support/test_support.h"

namespace vemo {
namespace {

namespace fs = std::filesystem;

class ManualViewerTest : public testing::Test {
  protected:
    void SetUp() override {
        setenv("VEMO_SETTINGS_FILE", (dir_ / "settings.ini").c_str(), 1);
        // No installed copy is found: only the working directory's counts.
        setenv("XDG_DATA_DIRS", dir_.path().c_str(), 1);
        setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
        SetMessageSink([](const MessageRequest&) { return kMessageOk; });
        previous_dir_ = fs::current_path();
        fs::current_path(dir_.path());
        SetUrlOpener([this](const QUrl& url) {
            opened_.push_back(url);
            return handled_;
        });
    }
    void TearDown() override {
        SetUrlOpener(nullptr);
        SetMessageSink(nullptr);
        fs::current_path(previous_dir_);
    }

    QDialog* Viewer(MainWindow& window) {
        QApplication::processEvents();
        return window.findChild<QDialog*>("manual");
    }

    test::TempDir dir_;
    fs::path previous_dir_;
    std::vector<QUrl> opened_;
    bool handled_ = true;
};

TEST_F(ManualViewerTest, NothingWithoutAManual) {
    MainWindow window;
    window.OnCommand(kCmdHelpContents);
    EXPECT_TRUE(opened_.empty());
    EXPECT_EQ(Viewer(window), nullptr);
}

TEST_F(ManualViewerTest, TheDesktopOpensItElseTheEnginesViewer) {
    fs::create_directories(dir_.path() / "help");
    fs::copy_file(MANUAL_PATH, dir_.path() / "help/wmanual.htm");
    const QUrl manual = QUrl::fromLocalFile((fs::current_path() / "help/wmanual.htm").c_str());
    MainWindow window;

    window.OnCommand(kCmdHelpContents);
    ASSERT_EQ(opened_, std::vector<QUrl>{manual});
    EXPECT_EQ(Viewer(window), nullptr);

    handled_ = false;
    window.OnCommand(kCmdHelpContents);
    QDialog* viewer = Viewer(window);
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_FALSE(viewer->isModal());
    EXPECT_EQ(
        viewer->windowTitle(),
        QString::fromUtf8("Vemo キャプチャー・エンジン マニュアル / Vemo capture engine manual"));

    // Contents again brings the same viewer forward; closing it ends it.
    window.OnCommand(kCmdHelpContents);
    EXPECT_EQ(window.findChildren<QDialog*>("manual").size(), 1);
    viewer->reject();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(Viewer(window), nullptr);
}

}  // namespace
}  // namespace vemo
