// The dispatch of the command ids, from the menus and from other programs.

#include "engine/camera_controller.h"
#include "engine/capture_file_control.h"
#include "engine/engine.h"
#include "engine/logging.h"

namespace vemo {

int Engine::OnCommand(int id) {
    qCDebug(logCommand) << "command" << id;
    // Told once the event loop runs: inside a dialog this command opens, so
    // other programs learn that it waits.
    emit changed();
    switch (id) {
        case kCmdClose:
            face_.Close();
            break;
        case kCmdCamera:
            camera_->ToggleCamera();
            break;
        case kCmdScreen:
            ToggleScreen();
            break;
        case kCmdCameraProperties:
            face_.EditSettings(SettingsPage::kCamera);
            break;
        case kCmdScreenProperties:
            face_.EditSettings(SettingsPage::kScreen);
            break;
        case kCmdHelpContents:
            // No message when the manual is missing.
            face_.ShowManual();
            break;
        case kCmdAbout:
            face_.ShowAbout();
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
        case kCmdTimeLimit:
            face_.EditTimeLimit(state_);
            break;
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
    emit changed();
    return 0;
}

void Engine::PostCommand(int id) {
    if (closed_) return;
    // Closing never waits: the engine ends with the dialog. Nor does a stop
    // while the go-ahead of a recording is asked: it cancels that.
    if (id == kCmdClose ||
        (id == kCmdStopCapture && camera_->recorder().state() == RecorderState::kHeld)) {
        OnCommand(id);
        return;
    }
    // Behind commands already waiting, so that they keep their order.
    if (face_.ModalWaiting() || !waiting_commands_.empty()) {
        waiting_commands_.push_back(id);
        waiting_check_.start();
        return;
    }
    OnCommand(id);
}

// Runs the waiting commands once the face waits for nothing; one that opens a
// dialog of its own holds the rest until that one closes.
void Engine::RunWaitingCommands() {
    while (!waiting_commands_.empty() && !closed_) {
        if (face_.ModalWaiting()) return;
        const int id = waiting_commands_.front();
        waiting_commands_.pop_front();
        OnCommand(id);
    }
    waiting_commands_.clear();
    waiting_check_.stop();
}

}  // namespace vemo
