// The main window's menu commands and the dialogs they open.

#include "app/camera_controller.h"
#include "app/capture_file_control.h"
#include "app/dialogs/about_dialog.h"
#include "app/dialogs/capture_dialogs.h"
#include "app/dialogs/manual_viewer.h"
#include "app/dialogs/properties_dialogs.h"
#include "app/logging.h"
#include "app/main_window.h"
#include "settings/settings_store.h"

namespace vemo {

int MainWindow::OnCommand(int id) {
    qCDebug(logCommand) << "command" << id;
    // Told once the event loop runs: inside a dialog this command opens, so
    // other programs learn that it waits.
    StateChanged();
    switch (id) {
        case kCmdClose:
            close();
            break;
        case kCmdCamera:
            camera_->ToggleCamera();
            break;
        case kCmdScreen:
            if (!screen_.screen_on()) {
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
            OpenManual(this);
            break;
        case kCmdAbout:
            OpenAbout();
            camera_->RequestFrame();
            break;
        // The file of a recording that is held or running stays as it is: a
        // new name takes effect at the next start, and a copy of a file
        // being written would copy half a recording.
        case kCmdChooseCaptureFile:
        case kCmdAllocCaptureFile:
            if (camera_->recording()) {
                SetStatus(QStringLiteral("Cannot change the capture file while recording"));
            } else if (id == kCmdChooseCaptureFile) {
                capture_file_->SetCaptureFile();
            } else {
                capture_file_->AllocateCaptureFile();
            }
            break;
        case kCmdSaveCaptureFile:
            if (camera_->recording()) {
                SetStatus(QStringLiteral("Cannot save a copy of the capture file while recording"));
            } else {
                capture_file_->SaveCaptureFile();
            }
            break;
        case kCmdStartCapture:
            camera_->StartCapture();
            break;
        case kCmdStopCapture:
            camera_->StopCapture();
            break;
        case kCmdToggleClosedCaptions:
            camera_->ToggleCaptureOption(&EngineState::capture_cc);
            break;
        case kCmdToggleAudio:
            camera_->ToggleCaptureOption(&EngineState::capture_audio);
            break;
        case kCmdFrameRate:
            camera_->ChangeFrameRate();
            break;
        case kCmdTimeLimit: {
            TimeLimitDialog dialog(this, state_.time_limit, state_.use_time_limit);
            dialog.exec();
            break;
        }
        case kCmdMasterNone:
            state_.master_stream = -1;
            break;
        case kCmdMasterAudio:
            state_.master_stream = 1;
            break;
        case kCmdMasterVideo:
            state_.master_stream = 0;
            break;
        default:
            if (id >= kCmdFirstDevice && id <= kCmdLastDevice) {
                camera_->ChooseDeviceAt(id - kCmdFirstDevice);
            } else if (id >= kCmdFirstCurrentDevice && id <= kCmdLastCurrentDevice) {
                camera_->ChooseCurrentDevice();
            } else if (id >= kCmdFirstPropertyPage && id <= kCmdLastPropertyPage) {
                camera_->OpenPropertyPage(id);
            }
            // 10, 11, 13, 58, 59 and every id outside 4 to 63 do nothing at
            // all. With a single video stream the master stream (38 to 40)
            // has nothing to hand to the writer.
            break;
    }
    StateChanged();
    return 0;
}

void MainWindow::OpenCameraProperties() {
    CameraPropertiesDialog dialog(this, state_,
                                  {[this](unsigned ms) { SetCameraTimer(ms); }, {}, {}, {}});
    dialog.exec();
}

void MainWindow::OpenScreenProperties() {
    ScreenPropertiesDialog dialog(this, state_,
                                  {{},
                                   [this](unsigned ms) { SetScreenTimer(ms); },
                                   [this] {
                                       screen_.Stop();
                                       StartScreenPublishing();
                                   },
                                   {}});
    dialog.exec();
}

void MainWindow::OpenImageProperties() {
    ImagePropertiesDialog dialog(
        this, state_,
        {[this](unsigned ms) { SetCameraTimer(ms); },
         {},
         {},
         [this](std::uint32_t colors) { screen_.set_screen_gif_color(colors); }});
    dialog.exec();
}

void MainWindow::OpenAbout() {
    AboutDialog dialog(this);
    dialog.exec();
}

}  // namespace vemo
