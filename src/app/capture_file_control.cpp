#include "app/capture_file_control.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QMetaObject>

#include <filesystem>
#include <thread>

#include "app/dialogs/capture_dialogs.h"
#include "app/dialogs/file_dialog.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "app/status_bar.h"
#include "capfile/capture_file.h"

namespace vemo {
namespace {

// Why a path cannot be the capture file, or "" when it can.
std::string RefusalOf(const std::string& path) {
    if (path.empty()) return "no file name";
    if (path.size() > kCaptureFileNameMax) {
        return "the name is longer than " + std::to_string(kCaptureFileNameMax) + " bytes";
    }
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::absolute(path, error).parent_path();
    if (error || !std::filesystem::is_directory(folder, error)) {
        return "the folder " + folder.string() + " does not exist";
    }
    return {};
}

}  // namespace

bool CaptureFileControl::ChooseCaptureFileName(std::string& name) {
    const std::optional<QString> chosen = ChooseSaveFile(
        &window_, {QStringLiteral("Set Capture File"), QStringLiteral("Microsoft AVI (*.avi)"),
                   QString::fromStdString(state_.capture_file.capture_file_name)});
    if (!chosen) return false;
    const std::string path = chosen->toStdString();
    // A name the engine cannot keep whole is refused rather than cut.
    if (const std::string refusal = RefusalOf(path); !refusal.empty()) {
        ReportError("Cannot use %s as the capture file: %s", path.c_str(), refusal.c_str());
        return false;
    }
    name = path;
    return true;
}

bool CaptureFileControl::SetCaptureFile() {
    if (!ChooseCaptureFileName(state_.capture_file.capture_file_name)) return false;
    if (!QFileInfo::exists(QString::fromStdString(state_.capture_file.capture_file_name))) {
        return AllocateCaptureFile();
    }
    return true;
}

std::optional<std::string> CaptureFileControl::SetCaptureFileName(const std::string& path) {
    if (std::string refusal = RefusalOf(path); !refusal.empty()) return refusal;
    state_.capture_file.capture_file_name = path;
    return std::nullopt;
}

bool CaptureFileControl::AllocateCaptureFile() {
    if (state_.capture_file.capture_file_name.empty()) return false;
    SetFileSizeDialog size(&window_, state_.capture_file);
    if (size.exec() != QDialog::Accepted) return false;
    window_.repaint();
    std::string why;
    if (!AllocCapFile(state_.capture_file.capture_file_name,
                      std::uint64_t{state_.capture_file.capture_file_mb} * 1'048'576, &why)) {
        ShowMessage({MessageKind::kWarning, "Error", "Failed to pre-allocate capture file space"});
        return false;
    }
    return true;
}

bool CaptureFileControl::SaveCaptureFile() {
    if (saving_) return false;
    std::string target;
    if (!ChooseCaptureFileName(target)) return true;
    StatusBar* status = window_.statusBarWidget();
    SetStatusText(status, QStringLiteral("Saving capture file - please wait..."));
    // The copy runs beside the window, which stays responsive and shows the
    // progress; Escape sets the abort flag the copy looks at.
    saving_ = true;
    abort_save_.store(false);
    QEventLoop until_copied;
    CopyOutcome outcome = CopyOutcome::kFailed;
    std::thread copier([&] {
        std::string error;
        outcome = CopyCaptureFile(
            state_.capture_file.capture_file_name, target,
            [status](int percent) {
                QMetaObject::invokeMethod(status, [status, percent] {
                    SetStatusText(status, QStringLiteral("Save File Progress: %1%").arg(percent));
                });
            },
            abort_save_, &error);
        QMetaObject::invokeMethod(&until_copied, &QEventLoop::quit, Qt::QueuedConnection);
    });
    until_copied.exec();
    copier.join();
    // Progress posted before the end is shown before the result.
    QCoreApplication::sendPostedEvents(status);
    saving_ = false;
    switch (outcome) {
        case CopyOutcome::kSaved:
            SetStatusText(status, QStringLiteral("Capture file saved"));
            return true;
        case CopyOutcome::kAborted:
            SetStatusText(status, QStringLiteral("Capture file save aborted"));
            return false;
        case CopyOutcome::kFailed:
            break;
    }
    SetStatusText(status, QStringLiteral("Capture file save ERROR"));
    return false;
}

}  // namespace vemo
