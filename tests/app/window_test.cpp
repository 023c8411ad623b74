// The engine window in-process: menus, commands, dialogs, keys, status bar.

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "app/main_window.h"
#include "app/message_box.h"
#include "app/status_bar.h"
#include "imaging/engine_state.h"
#include "settings/properties_dialogs.h"
#include "settings/settings_store.h"
#include "support/test_support.h"

namespace vemo {
namespace {

class WindowTest : public testing::Test {
  protected:
    void SetUp() override {
        setenv("VEMO_SETTINGS_FILE", (dir_ / "settings.ini").c_str(), 1);
        SetMessageSink([this](const MessageRequest& request) {
            messages_.push_back(request);
            return kMessageOk;
        });
        engine_state.camera_timer = 5;
        engine_state.screen_timer = 60;
        engine_state.camera_gif_color = 256;
        engine_state.screen_gif_color = 8;
        engine_state.screen_division = 5;
        engine_state.imode_width = 160;
        engine_state.imode_camera_width = 120;
        engine_state.screen_one = 1;
        engine_state.imode_rotate = 0;
        engine_state.frame_requested = 0;
    }
    void TearDown() override { SetMessageSink(nullptr); }

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

    test::TempDir dir_;
    std::vector<MessageRequest> messages_;
};

TEST_F(WindowTest, MenusHaveTheirTextsAndIds) {
    MainWindow window;
    const QList<QAction*> top = window.menuBar()->actions();
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

    engine_state.screen_on = 1;
    engine_state.capturing = 1;
    window.UpdateMenuStates();
    EXPECT_TRUE(window.action(kCmdScreen)->isChecked());
    EXPECT_FALSE(window.action(kCmdScreen)->isEnabled());
    engine_state.screen_on = 0;
    engine_state.capturing = 0;
    window.UpdateMenuStates();
    EXPECT_FALSE(window.action(kCmdScreen)->isChecked());
    EXPECT_TRUE(window.action(kCmdCamera)->isEnabled());
}

TEST_F(WindowTest, CommandsOutsideTheTableChangeNothing) {
    MainWindow window;
    for (int id : {-1, 0, 3, 10, 11, 13, 58, 59, 64, 1000}) {
        window.OnCommand(id);
        EXPECT_EQ(engine_state.camera_on, 0) << id;
        EXPECT_EQ(engine_state.screen_on, 0) << id;
        EXPECT_EQ(engine_state.frame_requested, 0) << id;
    }
    EXPECT_TRUE(messages_.empty());
    for (auto [id, stream] : {std::pair{38, -1}, {39, 1}, {40, 0}}) {
        window.OnCommand(id);
        EXPECT_EQ(engine_state.master_stream, stream);
    }
    // Closing the About box asks for the next camera frame.
    EXPECT_EQ(WithModal([&] { window.OnCommand(kCmdAbout); }, Reject), "600");
    EXPECT_EQ(engine_state.frame_requested, 1);

    window.OnCommand(kCmdCamera);
    EXPECT_EQ(engine_state.camera_on, 1);
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_CAPTURE), 1u);
    window.OnCommand(kCmdCamera);
    EXPECT_EQ(ReadSetting(SETTING_CAMERA_CAPTURE), 0u);
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
    engine_state.capturing = 1;
    EXPECT_EQ(press(Qt::ControlModifier | Qt::AltModifier), "614") << "even while capturing";
    engine_state.capturing = 0;
}

QLineEdit* Edit(QDialog& dialog, const char* id) {
    return dialog.findChild<QLineEdit*>(id);
}

TEST_F(WindowTest, DialogsClampAndStore) {
    unsigned camera_timer_ms = 0, screen_timer_ms = 0;
    int restarts = 0;
    const PropertiesEffects effects{[&](unsigned ms) { camera_timer_ms = ms; },
                                    [&](unsigned ms) { screen_timer_ms = ms; },
                                    [&] { ++restarts; }};

    for (auto [typed, stored] : {std::pair{"0", 1u},
                                 {"604801", 604800u},
                                 {"abc", 1u},
                                 {"99999999999", 604800u},
                                 {"30", 30u}}) {
        CameraPropertiesDialog dialog(nullptr, effects);
        EXPECT_EQ(Edit(dialog, "414")->text(), QString::number(engine_state.camera_timer));
        Edit(dialog, "414")->setText(typed);
        dialog.findChild<QPushButton*>("1")->click();
        EXPECT_EQ(engine_state.camera_timer, stored) << typed;
        EXPECT_EQ(ReadSetting(SETTING_CAMERA_TIMER), stored);
        EXPECT_EQ(camera_timer_ms, stored * 1000);
    }
    {
        // Cancel changes nothing, in any of the three.
        CameraPropertiesDialog camera(nullptr, effects);
        Edit(camera, "414")->setText("7");
        camera.findChild<QPushButton*>("2")->click();
        ScreenPropertiesDialog screen(nullptr, effects);
        Edit(screen, "416")->setText("7");
        screen.findChild<QPushButton*>("2")->click();
        ImagePropertiesDialog image(nullptr, effects);
        Edit(image, "418")->setText("7");
        image.findChild<QPushButton*>("2")->click();
        EXPECT_EQ(engine_state.camera_timer, 30u);
        EXPECT_EQ(engine_state.screen_timer, 60u);
        EXPECT_EQ(engine_state.screen_division, 5u);
        EXPECT_EQ(ReadSetting(SETTING_SCREEN_TIMER), 60u);
        EXPECT_EQ(camera_timer_ms, 30000u);
        EXPECT_EQ(screen_timer_ms, 0u);
        EXPECT_EQ(restarts, 0);
        EXPECT_TRUE(messages_.empty());
    }

    ImagePropertiesDialog image(nullptr, effects);
    for (auto [id, typed] :
         {std::pair{"415", "300"}, {"417", "4"}, {"418", "11"}, {"421", "x"}, {"424", "201"}}) {
        Edit(image, id)->setText(typed);
    }
    image.findChild<QPushButton*>("1")->click();
    EXPECT_EQ(engine_state.camera_gif_color, 256u);
    EXPECT_EQ(engine_state.screen_gif_color, 8u);
    EXPECT_EQ(engine_state.screen_division, 10u);
    EXPECT_EQ(engine_state.imode_width, 50u);
    EXPECT_EQ(engine_state.imode_camera_width, 200u);
    EXPECT_EQ(ReadSetting(SETTING_SCREEN_DIVISION), 10u);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].text, "Restart Vemo CAPTURE");
    EXPECT_EQ(messages_[0].caption, "Vemo CAPTURE");

    engine_state.imode_rotate = 1;
    engine_state.screen_one = 0;
    ScreenPropertiesDialog screen(nullptr, effects);
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
    EXPECT_EQ(screen_timer_ms, 1000u);
    EXPECT_EQ(engine_state.screen_one, 0u);
    EXPECT_EQ(ReadSetting(SETTING_IMODE_ROTATE), 1u);
    EXPECT_EQ(restarts, 1);
}

TEST_F(WindowTest, StatusBarAndWindowSize) {
    EXPECT_EQ(StatusBarHeightFor(12), 18);
    EXPECT_EQ(StatusBarHeight(), QFontMetrics(StatusFont()).height() * 3 / 2);

    MainWindow window;
    window.ResizeWindow(320, 260);
    window.show();
    QApplication::processEvents();
    EXPECT_EQ(window.videoArea()->size(), QSize(320, 260));
    EXPECT_EQ(engine_state.frame_width, 320);
    EXPECT_EQ(engine_state.frame_height, 260);

    const QString long_text(200, QChar('x'));
    SetStatusText(window.statusBarWidget(), long_text);
    EXPECT_EQ(window.statusBarWidget()->textWidget()->drawnText().size(), 127);
    SetStatusText(window.statusBarWidget(), QString());
    EXPECT_TRUE(window.statusBarWidget()->textWidget()->text().isEmpty());
    EXPECT_EQ(window.statusBarWidget()->height(), StatusBarHeight() + 2);
}

}  // namespace
}  // namespace vemo
