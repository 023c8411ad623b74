#include "app/headless_face.h"

#include <QCoreApplication>

#include "app/dialogs/file_dialog.h"
#include "app/message_box.h"
#include "engine/engine.h"

namespace vemo {

int HeadlessFace::ShowMessage(const MessageRequest& request) {
    return vemo::ShowMessage(request);
}

std::optional<std::string> HeadlessFace::ChooseFile(const FileQuestion& question) {
    const std::optional<QString> chosen = ChooseWithoutDialog(RequestOf(question));
    if (!chosen) return std::nullopt;
    return chosen->toStdString();
}

void HeadlessFace::Close() {
    if (engine_ != nullptr) engine_->Close();
    QCoreApplication::quit();
}

}  // namespace vemo
