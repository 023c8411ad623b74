#pragma once

// Choosing a file, through one seam: the real file dialog, or a chooser that
// tests and scripted runs install (as the message sink answers message
// boxes), so that no test ever waits on a modal file dialog.

#include <QString>

#include <functional>
#include <optional>

#include "engine/engine_face.h"

class QWidget;

namespace vemo {

struct FileRequest {
    QString title;       // the dialog's title
    QString filter;      // e.g. "Microsoft AVI (*.avi)"
    QString start_path;  // the folder and name it starts with
    // Whether choosing an existing file asks before replacing it: a file the
    // choice overwrites asks, the capture file (reused as it is) does not.
    bool confirm_overwrite = true;
};

// The chosen path, or nullopt when the choice was cancelled.
using FileChooser = std::function<std::optional<QString>(const FileRequest&)>;

// Installs `chooser`; an empty one restores the real dialog.
void SetFileChooser(FileChooser chooser);

// The request of the engine's file question.
FileRequest RequestOf(const FileQuestion& question);

// The installed chooser's answer; nullopt without one (no dialog is shown).
std::optional<QString> ChooseWithoutDialog(const FileRequest& request);

// Asks for a file to write, through the installed chooser or a file dialog
// owned by `parent`.
std::optional<QString> ChooseSaveFile(QWidget* parent, const FileRequest& request);

}  // namespace vemo
