#pragma once

// Help > Contents: the manual, found in the working directory (where a
// product installation puts it) or installed with the program, handed to the
// desktop's handler; when that handler cannot open it (no browser, no
// xdg-open), shown in the engine's own viewer rather than not at all.

#include <QString>

#include <functional>

class QUrl;
class QWidget;

namespace vemo {

// help/wmanual.htm in the working directory, else the installed copy, as an
// absolute path; empty when there is none.
QString FindManual();

// Hands `url` to the desktop and calls `failed`, at once or later, when no
// handler could open it.
using DesktopOpener = std::function<void(const QUrl& url, std::function<void()> failed)>;

// Installs `opener` (tests do); an empty one restores the desktop's: xdg-open,
// watched for its verdict, else QDesktopServices.
void SetDesktopOpener(DesktopOpener opener);

// Opens the manual; nothing is shown when there is none. The viewer is a
// non-modal dialog of `parent` (the window) named "manual", titled with the
// page's title.
void OpenManual(QWidget* parent);

}  // namespace vemo
