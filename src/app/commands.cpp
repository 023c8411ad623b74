// The main window's menu commands, the dialogs they open and the About box.

#include <QDesktopServices>
#include <QDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QUrl>

#include "app/main_window.h"
#include "app/message_box.h"
#include "camera/camera_graph.h"
#include "devices/devices_menu.h"
#include "imaging/engine_state.h"
#include "screen/screen_capture.h"
#include "settings/properties_dialogs.h"
#include "settings/settings_store.h"

namespace vemo {
namespace {

constexpr char kHelpFile[] = "help/wmanual.htm";

// Dialog 600.
class AboutDialog : public QDialog {
  public:
    explicit AboutDialog(QWidget* parent) : QDialog(parent) {
        setObjectName("600");
        setWindowTitle(QString::fromUtf8("バージョン情報"));
        setFont(DialogFont());
        setFixedSize(DialogRect(this, 0, 0, 187, 94).size());
        const char* lines[] = {"Corvexa", "Version 4.0", "Capture engine Ver 1.0",
                               "Copyright (C) Lumetra. All rights reserved."};
        int y = 5;
        for (const char* line : lines) {
            auto* label = new QLabel(QString::fromUtf8(line), this);
            label->setAlignment(Qt::AlignCenter);
            label->setGeometry(DialogRect(this, 6, y, 175, 8));
            y += 15;
        }
        auto* ok = new QPushButton("OK", this);
        ok->setObjectName("1");
        ok->setDefault(true);
        ok->setGeometry(DialogRect(this, 77, 74, 32, 14));
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    }
};

}  // namespace

int MainWindow::OnCommand(int id) {
    switch (id) {
        case kCmdClose:
            close();
            break;
        case kCmdCamera:
            engine_state.camera_on = engine_state.camera_on != 0 ? 0 : 1;
            if (engine_state.camera_on != 0) {
                BuildPreviewBranch();
                RunPreview();
            } else {
                HaltPreview();
            }
            WriteSetting(SETTING_CAMERA_CAPTURE,
                         static_cast<std::uint32_t>(engine_state.camera_on));
            videoArea()->update();
            break;
        case kCmdScreen:
            if (engine_state.screen_on == 0) {
                StartScreenPublishing();
                WriteSetting(SETTING_SCREEN_CAPTURE, 1);
            } else {
                StopScreenPublishing();
                WriteSetting(SETTING_SCREEN_CAPTURE, 0);
            }
            break;
        case kCmdCameraProperties:
            OpenCameraProperties();
            break;
        case kCmdScreenProperties:
            OpenScreenProperties();
            break;
        case kCmdHelpContents:
            // No message when the manual is missing.
            if (QFileInfo::exists(kHelpFile)) {
                QDesktopServices::openUrl(
                    QUrl::fromLocalFile(QFileInfo(kHelpFile).absoluteFilePath()));
            }
            break;
        case kCmdAbout:
            OpenAbout();
            engine_state.frame_requested = 1;
            break;
        case kCmdMasterNone:
            engine_state.master_stream = -1;
            break;
        case kCmdMasterAudio:
            engine_state.master_stream = 1;
            break;
        case kCmdMasterVideo:
            engine_state.master_stream = 0;
            break;
        default:
            if (id >= kCmdFirstDevice && id <= kCmdLastDevice) {
                ChooseDeviceAt(id - kCmdFirstDevice);
            } else if (id >= kCmdFirstCurrentDevice && id <= kCmdLastCurrentDevice) {
                ChooseCurrentDevice();
            }
            // Property pages (42 to 57), the capture file (5, 6, 37) and capture
            // to file (7, 8, 9, 12, 14, 41) come with their own work and do
            // nothing until then; 10, 11, 13, 58, 59 and every id outside 4 to 63
            // do nothing at all.
            break;
    }
    return 0;
}

void MainWindow::OpenCameraProperties() {
    CameraPropertiesDialog dialog(this, {[this](unsigned ms) { SetCameraTimer(ms); }, {}, {}});
    dialog.exec();
}

void MainWindow::OpenScreenProperties() {
    ScreenPropertiesDialog dialog(this, {{},
                                         [this](unsigned ms) { SetScreenTimer(ms); },
                                         [this] {
                                             StopScreenCapture();
                                             StartScreenPublishing();
                                         }});
    dialog.exec();
}

void MainWindow::OpenImageProperties() {
    ImagePropertiesDialog dialog(this, {[this](unsigned ms) { SetCameraTimer(ms); }, {}, {}});
    dialog.exec();
}

void MainWindow::OpenAbout() {
    AboutDialog dialog(this);
    dialog.exec();
}

}  // namespace vemo
