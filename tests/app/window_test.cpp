// The engine window in-process: menus, commands, dialogs, keys, status bar.

#include <QApplication>
#include <QCheckBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "app/dialogs/about_dialog.h"
#include "app/dialogs/dialog_layout.h"
#include "app/dialogs/properties_dialogs.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "app/status_bar.h"
#include "engine/camera_controller.h"
#include "settings/settings_store.h"
#include "support/dialog_checks.h"
#include "support/test_support.h"

namespace vemo {
namespace {

using test::ExpectTextsFit;

class WindowTest : public testing::Test {
  protected:
    void SetUp() override {
        setenv("VEMO_SETTINGS_FILE", (dir_ / "settings.ini").c_str(), 1);
        SetMessageSink([this](const MessageRequest& request) {
            messages_.push_back(request);
            return kMessageOk;
        });
        previous_dir_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
    }
    void TearDown() override {
        SetMessageSink(nullptr);
        std::filesystem::current_path(previous_dir_);
    }

    // Runs `action` and answers the modal dialog it opens: `answer` gets the
    // dialog, and the dialog's object name is returned ("" when none opened).
    static QString WithModal(const std::function<void()>& action,
                             const std::function<void(QDialog*)>& answer) {
        QString opened;
        QTimer::singleShot(0, [&] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                opened = dialog->objectName();
                answer(dialog);
            }
        });
        action();
        QApplication::processEvents();
        return opened;
    }
    static void Reject(QDialog* dialog) { dialog->reject(); }

    static bool FrameRequested(MainWindow& window) {
        return window.camera().graph().grabber().frame_buffer().frame_requested;
    }

    test::TempDir dir_;
    std::filesystem::path previous_dir_;
    Settings shown_;  // what the dialogs show: the defaults
    std::vector<MessageRequest> messages_;
};

TEST_F(WindowTest, MenusHaveTheirTextsAndIds) {
    MainWindow window;
    // The separator that puts Help at the right end is not a menu.
    QList<QAction*> top = window.menuBar()->actions();
    top.removeIf([](const QAction* action) { return action->isSeparator(); });
    ASSERT_EQ(top.size(), 4);
    EXPECT_EQ(top[0]->text(), QString::fromUtf8("ファイル(&F)"));
    EXPECT_EQ(top[1]->text(), QString::fromUtf8("デバイス(&D)"));
    EXPECT_EQ(top[2]->text(), QString::fromUtf8("プロパティ(&P)"));
    EXPECT_EQ(top[3]->text(), QString::fromUtf8("ヘルプ(&H)"));
    const std::pair<int, const char*> items[] = {{15, "カメラ"},
                                                 {60, "スクリーン"},
                                                 {4, "閉じる(&X)"},
                                                 {61, "カメラ プロパティ"},
                                                 {62, "スクリーン プロパティ"},
                                                 {63, "目次(&C)..."},
                                                 {36, "バージョン情報(&A)"}};
    for (const auto& [id, text] : items) {
        ASSERT_NE(window.action(id), nullptr) << id;
        EXPECT_EQ(window.action(id)->text(), QString::fromUtf8(text));
        EXPECT_EQ(window.action(id)->data().toInt(), id);
        EXPECT_EQ(window.action(id)->objectName(), QString::number(id));
    }
    EXPECT_EQ(window.menus().devices->actions().size(), 1) << "one separator";

    window.StartScreenPublishing();
    window.UpdateMenuStates();
    EXPECT_TRUE(window.action(kCmdScreen)->isChecked());
    window.StopScreenPublishing();
    window.UpdateMenuStates();
    EXPECT_FALSE(window.action(kCmdScreen)->isChecked());
    EXPECT_TRUE(window.action(kCmdCamera)->isEnabled());
}

TEST_F(WindowTest, CommandsOutsideTheTableChangeNothing) {
    MainWindow window;
    for (int id : {-1, 0, 3, 10, 11, 13, 58, 59, 64, 1000}) {
        window.OnCommand(id);
        EXPECT_FALSE(window.state().camera_on) << id;
        EXPECT_FALSE(window.screen().screen_on()) << id;
        EXPECT_FALSE(FrameRequested(window)) << id;
    }
    EXPECT_TRUE(messages_.empty());
    for (auto [id, stream] : {std::pair{38, -1}, {39, 1}, {40, 0}}) {
        window.OnCommand(id);
        EXPECT_EQ(window.state().master_stream, stream);
    }
    // Closing the About box asks for the next camera frame.
    EXPECT_EQ(WithModal([&] { window.OnCommand(kCmdAbout); }, Reject), "600");
    EXPECT_TRUE(FrameRequested(window));

    // No camera here: the switch says so and claims nothing.
    window.OnCommand(kCmdCamera);
    EXPECT_FALSE(window.state().camera_on);
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_CAPTURE), 0u);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text, "Vemo : カメラが見つかりません");
}

QLineEdit* Edit(QDialog& dialog, const char* id) {
    return dialog.findChild<QLineEdit*>(id);
}

TEST_F(WindowTest, OnlyCtrlAltF12OpensTheImageProperties) {
    MainWindow window;
    window.show();
    auto press = [&](Qt::KeyboardModifiers modifiers) {
        return WithModal([&] { QTest::keyClick(&window, Qt::Key_F12, modifiers); }, Reject);
    };
    EXPECT_EQ(press(Qt::ControlModifier), "");
    EXPECT_EQ(press(Qt::AltModifier), "");
    EXPECT_EQ(press(Qt::ControlModifier | Qt::AltModifier), "614");
    EXPECT_TRUE(messages_.empty()) << "Cancel applies nothing and says nothing";

    // OK: the engine has the values before the box asks for a restart.
    std::uint32_t division_at_box = 0;
    SetMessageSink([&](const MessageRequest& request) {
        messages_.push_back(request);
        division_at_box = window.engine().settings().Get(SETTING_SCREEN_DIVISION);
        return kMessageOk;
    });
    EXPECT_EQ(
        WithModal(
            [&] { QTest::keyClick(&window, Qt::Key_F12, Qt::ControlModifier | Qt::AltModifier); },
            [](QDialog* dialog) {
                Edit(*dialog, "418")->setText("3");
                dialog->accept();
            }),
        "614");
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text, "Restart Vemo CAPTURE");
    EXPECT_EQ(division_at_box, 3u);
    EXPECT_EQ(ReadSetting(SETTING_SCREEN_DIVISION), 3u);
}

TEST_F(WindowTest, DialogsTakeTheirEntriesIntoRange) {
    for (auto [typed, taken] : {std::pair{"0", 1u},
                                {"604801", 604800u},
                                {"abc", 1u},
                                {"99999999999", 604800u},
                                {"30", 30u}}) {
        CameraPropertiesDialog dialog(nullptr, shown_);
        EXPECT_EQ(Edit(dialog, "414")->text(), "5");
        Edit(dialog, "414")->setText(typed);
        dialog.findChild<QPushButton*>("1")->click();
        EXPECT_EQ(dialog.taken().Get(SETTING_CAMERA_TIMER), taken) << typed;
    }

    ImagePropertiesDialog image(nullptr, shown_);
    for (auto [id, typed] :
         {std::pair{"415", "300"}, {"417", "4"}, {"418", "11"}, {"421", "x"}, {"424", "201"}}) {
        Edit(image, id)->setText(typed);
    }
    image.findChild<QPushButton*>("1")->click();
    EXPECT_EQ(image.taken().Get(SETTING_CAMERA_GIF_COLOR), 256u);
    EXPECT_EQ(image.taken().Get(SETTING_SCREEN_GIF_COLOR), 8u);
    EXPECT_EQ(image.taken().Get(SETTING_SCREEN_DIVISION), 10u);
    EXPECT_EQ(image.taken().Get(SETTING_IMODE_WIDTH), 50u);
    EXPECT_EQ(image.taken().Get(SETTING_IMODE_CAMERA_WIDTH), 200u);

    shown_.Set(SETTING_IMODE_ROTATE, 1);
    shown_.Set(SETTING_SCREEN_ONE, 0);
    ScreenPropertiesDialog screen(nullptr, shown_);
    auto* whole = screen.findChild<QRadioButton*>("419");
    auto* imode = screen.findChild<QRadioButton*>("420");
    auto* rotate = screen.findChild<QCheckBox*>("423");
    EXPECT_TRUE(imode->isChecked());
    EXPECT_TRUE(rotate->isChecked());
    whole->click();
    EXPECT_TRUE(whole->isChecked());
    EXPECT_FALSE(imode->isChecked());
    EXPECT_FALSE(rotate->isChecked()) << "whole screen clears the rotate box";
    rotate->click();
    EXPECT_FALSE(rotate->isChecked()) << "and keeps it clear";
    imode->click();
    EXPECT_TRUE(rotate->isChecked()) << "i-mode brings back the stored rotation";
    Edit(screen, "416")->setText("0");
    screen.findChild<QPushButton*>("1")->click();
    EXPECT_EQ(screen.taken().Get(SETTING_SCREEN_TIMER), 1u);
    EXPECT_EQ(screen.taken().Get(SETTING_SCREEN_ONE), 0u);
    EXPECT_EQ(screen.taken().Get(SETTING_IMODE_ROTATE), 1u);
}

TEST_F(WindowTest, StatusBarAndWindowSize) {
    EXPECT_EQ(StatusBarHeightFor(12), 18);
    EXPECT_EQ(StatusBarHeight(), 18) << "a 12-pixel font and half of it again";

    MainWindow window;
    window.ResizeWindow(320, 260);
    window.show();
    QApplication::processEvents();
    EXPECT_EQ(window.videoArea()->size(), QSize(320, 260));
    EXPECT_EQ(window.state().frame_width, 320);
    EXPECT_EQ(window.state().frame_height, 260);

    const QString long_text(200, QChar('x'));
    SetStatusText(window.statusBarWidget(), long_text);
    EXPECT_EQ(window.statusBarWidget()->textWidget()->drawnText().size(), 127);
    SetStatusText(window.statusBarWidget(), QString());
    EXPECT_TRUE(window.statusBarWidget()->textWidget()->text().isEmpty());
    EXPECT_EQ(window.statusBarWidget()->height(), StatusBarHeight() + 2);
}

TEST_F(WindowTest, TheIdlePictureFillsTheVideoArea) {
    // No window manager here: the window has no frame, so its outer height
    // less 70 pixels falls short of the video area's bottom.
    MainWindow window;
    window.ResizeWindow(320, 260);
    window.show();
    QApplication::processEvents();
    ASSERT_FALSE(window.state().camera_on);
    const QImage drawn = window.videoArea()->grab().toImage();
    // The picture's bottom rows are dark blue; the ground behind it is black.
    for (const int x : {0, drawn.width() / 2, drawn.width() - 1}) {
        EXPECT_NE(drawn.pixelColor(x, drawn.height() - 1), QColor(Qt::black)) << "x " << x;
    }
}

TEST_F(WindowTest, DialogTextsFitTheirControls) {
    AboutDialog about(nullptr);
    ExpectTextsFit(about);
    CameraPropertiesDialog camera(nullptr, shown_);
    ExpectTextsFit(camera);
    ScreenPropertiesDialog screen(nullptr, shown_);
    ExpectTextsFit(screen);
    ImagePropertiesDialog image(nullptr, shown_);
    ExpectTextsFit(image);
    EXPECT_EQ(QFontInfo(camera.font()).family(), "IPAPGothic") << "the dialog font's stand-in";
}

}  // namespace
}  // namespace vemo
