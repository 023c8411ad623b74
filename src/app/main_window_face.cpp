// The window's answers to the engine's questions: message boxes, file
// choices, the go-ahead and the dialogs, each modal on the window.

#include <QApplication>
#include <QLabel>
#include <QMessageBox>

#include <optional>

#include "app/dialogs/about_dialog.h"
#include "app/dialogs/camera_dialogs.h"
#include "app/dialogs/capture_dialogs.h"
#include "app/dialogs/file_dialog.h"
#include "app/dialogs/manual_viewer.h"
#include "app/dialogs/properties_dialogs.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "settings/settings_model.h"

namespace vemo {
namespace {

// What a dialog says: a box's text, else its labels'.
QString DialogText(QWidget* dialog) {
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) return box->text();
    QStringList texts;
    for (const QLabel* label : dialog->findChildren<QLabel*>()) {
        if (!label->text().isEmpty() && label->pixmap().isNull()) texts << label->text();
    }
    return texts.join(' ');
}

}  // namespace

int MainWindow::ShowMessage(const MessageRequest& request) {
    return vemo::ShowMessage(request);
}

std::optional<std::string> MainWindow::ChooseFile(const FileQuestion& question) {
    const std::optional<QString> chosen = ChooseSaveFile(this, RequestOf(question));
    if (!chosen) return std::nullopt;
    return chosen->toStdString();
}

GoAhead MainWindow::AskGoAhead(const std::string& file_name) {
    ReadyToCaptureDialog ready(this, file_name);
    ready_dialog_ = &ready;
    const bool given = ready.exec() == QDialog::Accepted;
    ready_dialog_ = nullptr;
    return {given, {}};
}

void MainWindow::CancelGoAhead() {
    if (ready_dialog_ != nullptr) ready_dialog_->reject();
}

bool MainWindow::EditFrameRate(EngineState& state, FrameRate camera_rate) {
    FrameRateDialog dialog(this, state.frame_rate, state.use_frame_rate, camera_rate);
    return dialog.exec() == QDialog::Accepted;
}

bool MainWindow::EditTimeLimit(EngineState& state) {
    TimeLimitDialog dialog(this, state.time_limit, state.use_time_limit);
    return dialog.exec() == QDialog::Accepted;
}

bool MainWindow::EditFileSize(CaptureFileValues& values) {
    SetFileSizeDialog size(this, values);
    return size.exec() == QDialog::Accepted;
}

namespace {

// The values OK took, or nothing at Cancel.
template <typename Dialog>
std::optional<Settings> Edited(QWidget* parent, const Settings& shown) {
    Dialog dialog(parent, shown);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.taken();
}

}  // namespace

void MainWindow::EditSettings(SettingsPage page) {
    const Settings shown = engine_->shown_settings();
    std::optional<Settings> taken;
    switch (page) {
        case SettingsPage::kCamera:
            taken = Edited<CameraPropertiesDialog>(this, shown);
            break;
        case SettingsPage::kScreen:
            taken = Edited<ScreenPropertiesDialog>(this, shown);
            break;
        case SettingsPage::kImage:
            taken = Edited<ImagePropertiesDialog>(this, shown);
            break;
    }
    if (!taken) return;
    // The screen dialog's OK starts screen capture afresh whatever changed.
    engine_->ApplySettings(*taken, page == SettingsPage::kScreen);
    // Ends as this dialog always has, with the box that asks for a restart.
    if (page == SettingsPage::kImage) {
        ShowMessage({MessageKind::kWarning, "Restart Vemo CAPTURE", "Vemo CAPTURE"});
    }
}

void MainWindow::ShowAbout() {
    AboutDialog dialog(this);
    dialog.exec();
}

void MainWindow::ShowManual() {
    // No message when the manual is missing.
    OpenManual(this);
}

void MainWindow::EditCameraControls(std::shared_ptr<CameraControls> controls,
                                    const std::string& camera_name) {
    CameraControlsDialog dialog(this, *controls, camera_name);
    dialog.exec();
}

std::optional<OfferedFormat> MainWindow::ChooseFormat(const std::vector<OfferedFormat>& formats,
                                                      const OfferedFormat& current) {
    CameraFormatDialog dialog(this, formats, current);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.chosen();
}

void MainWindow::EditCameraInput(std::shared_ptr<CameraControls> controls) {
    CameraInputDialog dialog(this, *controls);
    dialog.exec();
}

void MainWindow::EditTuner(std::shared_ptr<CameraControls> controls) {
    TunerDialog dialog(this, *controls);
    dialog.exec();
}

void MainWindow::ShowPreview(const PreviewPicture& picture) {
    const QImage frame(picture.pixels.data(), picture.width, picture.height,
                       static_cast<qsizetype>(picture.stride), QImage::Format_BGR888);
    // A copy at the size it is drawn, in the format painting is fastest with.
    video_->ShowFrame(frame.scaled(video_->size(), Qt::IgnoreAspectRatio, Qt::FastTransformation)
                          .convertToFormat(QImage::Format_RGB32));
}

void MainWindow::ClearPreview() {
    video_->ShowFrame(QImage());
}

std::optional<Waiting> MainWindow::ModalWaiting() const {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) return std::nullopt;
    return Waiting{modal->windowTitle().toStdString(), DialogText(modal).toStdString()};
}

}  // namespace vemo
