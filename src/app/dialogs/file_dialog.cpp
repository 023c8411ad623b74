#include "app/dialogs/file_dialog.h"

#include <QFileDialog>

namespace vemo {
namespace {

FileChooser& InstalledChooser() {
    static FileChooser chooser;
    return chooser;
}

}  // namespace

void SetFileChooser(FileChooser chooser) {
    InstalledChooser() = std::move(chooser);
}

FileRequest RequestOf(const FileQuestion& question) {
    return {QString::fromStdString(question.title), QString::fromStdString(question.filter),
            QString::fromStdString(question.start_path), question.confirm_overwrite};
}

std::optional<QString> ChooseWithoutDialog(const FileRequest& request) {
    if (const FileChooser& chooser = InstalledChooser(); chooser) return chooser(request);
    return std::nullopt;
}

std::optional<QString> ChooseSaveFile(QWidget* parent, const FileRequest& request) {
    if (const FileChooser& chooser = InstalledChooser(); chooser) return chooser(request);
    const QString chosen = QFileDialog::getSaveFileName(
        parent, request.title, request.start_path, request.filter, nullptr,
        request.confirm_overwrite ? QFileDialog::Options() : QFileDialog::DontConfirmOverwrite);
    if (chosen.isEmpty()) return std::nullopt;
    return chosen;
}

}  // namespace vemo
