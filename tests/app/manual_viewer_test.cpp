// Help > Contents: the desktop's handler first, the engine's own viewer when
// that handler cannot open the manual.

#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
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
        SetDesktopOpener([this](const QUrl& url, const std::function<void()>& failed) {
            opened_.push_back(url);
            if (!handled_) failed();
        });
    }
    void TearDown() override {
        SetDesktopOpener(nullptr);
        SetMessageSink(nullptr);
        fs::current_path(previous_dir_);
    }

    QDialog* Viewer(MainWindow& window) {
        QApplication::processEvents();
        return window.findChild<QDialog*>("manual");
    }

    void PutManual() {
        fs::create_directories(dir_.path() / "help");
        fs::copy_file(MANUAL_PATH, dir_.path() / "help/wmanual.htm");
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
    PutManual();
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

// xdg-open is started whatever it finds; its exit status tells whether a
// handler opened the manual.
TEST_F(ManualViewerTest, XdgOpenFindingNoHandlerOpensTheViewer) {
    PutManual();
    SetDesktopOpener(nullptr);
    const fs::path bin = dir_.path() / "bin";
    fs::create_directories(bin);
    const std::string script = "#!/bin/sh\nexit 3\n";  // "no method available for opening"
    test::WriteBytes((bin / "xdg-open").string(), {script.begin(), script.end()});
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    const std::string saved_path = path != nullptr ? path : "/usr/bin:/bin";
    setenv("PATH", bin.c_str(), 1);

    MainWindow window;
    window.OnCommand(kCmdHelpContents);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Viewer(window) != nullptr; }, 10000));
    setenv("PATH", saved_path.c_str(), 1);
}

}  // namespace
}  // namespace vemo
