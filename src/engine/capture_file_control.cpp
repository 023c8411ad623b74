#include "engine/capture_file_control.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QMetaObject>
#include <QStringDecoder>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "capfile/capture_file.h"
#include "engine/engine_face.h"
#include "engine/logging.h"

namespace vemo {
namespace {

// Whether a path can be the capture file.
Result<> UsableName(const std::string& path) {
    if (path.empty()) return Failure(ErrorKind::kInvalidValue, "no file name");
    // Names arrive as bytes from other programs; one that is not UTF-8 would
    // be shown and stored with replacement characters in it.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    [[maybe_unused]] const QString decoded = utf8(QByteArrayView(path));
    if (utf8.hasError()) return Failure(ErrorKind::kInvalidValue, "the name is not valid UTF-8");
    // The name is shown as one line in the status bar, the log and
    // vemoctl's output: a line break or an escape sequence in it would split
    // those lines or forge others.
    if (std::any_of(path.begin(), path.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7f;
        })) {
        return Failure(ErrorKind::kInvalidValue, "the name holds a control character");
    }
    if (path.size() > kCaptureFileNameMax) {
        return Failure(ErrorKind::kInvalidValue,
                       "the name is longer than " + std::to_string(kCaptureFileNameMax) + " bytes");
    }
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::absolute(path, error).parent_path();
    if (error || !std::filesystem::is_directory(folder, error)) {
        return Failure(ErrorKind::kNotFound, "the folder " + folder.string() + " does not exist");
    }
    // Opening a FIFO or a device for writing could block or do harm; the
    // path is already named in the messages this reason goes into.
    if (Result<> checked = CheckCaptureFilePath(path); !checked) {
        const std::string prefix = path + ": ";
        Error refusal = checked.error();
        if (refusal.text.starts_with(prefix)) refusal.text.erase(0, prefix.size());
        return std::unexpected(refusal);
    }
    return {};
}

}  // namespace

bool CaptureFileControl::RefusedWhileSaving(const QString& text) {
    if (!saving_) return false;
    qCInfo(logCommand).noquote() << text;
    host_.SetStatus(text);
    return true;
}

bool CaptureFileControl::ChooseCaptureFileName(std::string& name, bool confirm_overwrite) {
    const std::optional<std::string> chosen =
        host_.face().ChooseFile({"Set Capture File", "Microsoft AVI (*.avi)",
                                 state_.capture_file.capture_file_name, confirm_overwrite});
    if (!chosen) return false;
    const std::string path = *chosen;
    // A name the engine cannot keep whole is refused rather than cut.
    if (const Result<> usable = UsableName(path); !usable) {
        ReportError(host_.face(), "Cannot use %s as the capture file: %s", path.c_str(),
                    usable.error().text.c_str());
        return false;
    }
    name = path;
    return true;
}

bool CaptureFileControl::SetCaptureFile() {
    const QString refusal =
        QStringLiteral("Cannot change the capture file while it is being saved");
    if (RefusedWhileSaving(refusal)) return false;
    // Choosing the file that is already there is the usual case: no question.
    std::string name;
    if (!ChooseCaptureFileName(name, /*confirm_overwrite=*/false)) return false;
    // A copy may have started while the dialog was open.
    if (RefusedWhileSaving(refusal)) return false;
    state_.capture_file.capture_file_name = name;
    if (!QFileInfo::exists(QString::fromStdString(name))) return AllocateCaptureFile();
    return true;
}

Result<> CaptureFileControl::SetCaptureFileName(const std::string& path) {
    if (saving_) return Failure(ErrorKind::kBusy, "the capture file is being saved");
    // The caller's working directory is not the engine's: a relative name
    // would name another file than the caller means.
    if (!path.starts_with('/')) {
        return Failure(ErrorKind::kInvalidValue, "the name is relative: give the whole path");
    }
    if (Result<> usable = UsableName(path); !usable) return usable;
    state_.capture_file.capture_file_name = path;
    return {};
}

bool CaptureFileControl::AllocateCaptureFile() {
    const QString refusal =
        QStringLiteral("Cannot pre-allocate the capture file while it is being saved");
    if (RefusedWhileSaving(refusal)) return false;
    if (state_.capture_file.capture_file_name.empty()) return false;
    if (!host_.face().EditFileSize(state_.capture_file)) return false;
    if (RefusedWhileSaving(refusal)) return false;
    // The face is drawn before the long reservation begins.
    host_.face().ShowNow();
    const Result<> allocated =
        AllocCapFile(state_.capture_file.capture_file_name,
                     std::uint64_t{state_.capture_file.capture_file_mb} * 1'048'576);
    if (!allocated) {
        const std::string& why = allocated.error().text;
        qCWarning(logCommand).noquote()
            << "Failed to pre-allocate capture file space:" << QString::fromStdString(why);
        host_.SetStatus(QString::fromStdString(why));
        host_.face().ShowMessage(
            {MessageKind::kWarning, "Error", "Failed to pre-allocate capture file space"});
        return false;
    }
    return true;
}

bool CaptureFileControl::SaveCaptureFile() {
    if (RefusedWhileSaving(QStringLiteral("The capture file is already being saved"))) return false;
    std::string target;
    if (!ChooseCaptureFileName(target, /*confirm_overwrite=*/true)) return true;
    // A copy may have started while the dialog was open.
    if (RefusedWhileSaving(QStringLiteral("The capture file is already being saved"))) return false;
    // The copier works on its own copy of the name: the window's state
    // changes under the nested loop below.
    const std::string source = state_.capture_file.capture_file_name;
    saving_ = true;
    abort_save_.store(false);
    CameraHost* host = &host_;
    QObject* receiver = host_.event_target();
    host_.SetStatus(QStringLiteral("Saving capture file - please wait..."));
    // The copy runs beside the window, which stays responsive and shows the
    // progress; Escape sets the abort flag the copy looks at.
    QEventLoop until_copied;
    CopyOutcome outcome = CopyOutcome::kFailed;
    std::string error;
    std::thread copier([&until_copied, &outcome, &error, &source, &target, host, receiver, this] {
        outcome = CopyCaptureFile(
            source, target,
            [host, receiver](int percent) {
                QMetaObject::invokeMethod(receiver, [host, percent] {
                    host->SetStatus(QStringLiteral("Save File Progress: %1%").arg(percent));
                });
            },
            abort_save_, &error);
        QMetaObject::invokeMethod(&until_copied, &QEventLoop::quit, Qt::QueuedConnection);
    });
    until_copied.exec();
    copier.join();
    // Progress posted before the end is shown before the result.
    QCoreApplication::sendPostedEvents(receiver);
    saving_ = false;
    switch (outcome) {
        case CopyOutcome::kSaved:
            host_.SetStatus(QStringLiteral("Capture file saved"));
            return true;
        case CopyOutcome::kAborted:
            host_.SetStatus(QStringLiteral("Capture file save aborted"));
            return false;
        case CopyOutcome::kFailed:
            break;
    }
    qCWarning(logCommand).noquote()
        << "Saving the capture file failed:" << QString::fromStdString(error);
    host_.SetStatus(QStringLiteral("Capture file save ERROR"));
    return false;
}

}  // namespace vemo
