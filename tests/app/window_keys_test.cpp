// The window's keys as a keyboard sends them: a private X server, its real
// keymap, and key presses made by xdotool through the XTEST extension.

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdio>

#include "app/main_window.h"
#include "screen/xvfb_display.h"

namespace vemo {
namespace {

// Presses `keys` as a keyboard would and gives the object name of the modal
// dialog that opened ("" when none did within `wait_ms`).
QString DialogOpenedBy(const char* keys, int wait_ms) {
    QString opened;
    QTimer look;
    look.setInterval(20);
    QObject::connect(&look, &QTimer::timeout, [&opened] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            opened = dialog->objectName();
            dialog->reject();
        }
    });
    look.start();
    QProcess xdotool;
    xdotool.start("xdotool", {"key", keys});
    QElapsedTimer waited;
    waited.start();
    while (opened.isEmpty() && waited.elapsed() < wait_ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    xdotool.waitForFinished();
    EXPECT_EQ(xdotool.exitCode(), 0) << xdotool.readAllStandardError().toStdString();
    return opened;
}

TEST(WindowKeys, CtrlShiftF12OpensTheImagePropertiesThroughTheKeymap) {
    MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_EQ(DialogOpenedBy("ctrl+shift+F12", 5000), "614");
    EXPECT_EQ(DialogOpenedBy("ctrl+F12", 500), "");
    EXPECT_EQ(DialogOpenedBy("shift+F12", 500), "");
}

}  // namespace
}  // namespace vemo

// A private X server for this program: the window takes the keyboard focus,
// which no other test's display should lose.
int main(int argc, char** argv) {
    vemo::test::XvfbDisplay display(640, 480, 24);
    if (!display.ok()) {
        std::fprintf(stderr, "window_keys_test: %s\n", display.error().c_str());
        return 1;
    }
    qputenv("DISPLAY", display.name().c_str());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
