#pragma once

// The engine's log categories. Lines go to standard error (the journal under
// systemd), each with a time stamp; QT_LOGGING_RULES switches detail per
// category ("vemo.camera.debug=true"), and vemo --verbose turns on debug for
// all of them.

#include <QLoggingCategory>

namespace vemo {

Q_DECLARE_LOGGING_CATEGORY(logStartup)  // vemo.startup
Q_DECLARE_LOGGING_CATEGORY(logCamera)   // vemo.camera
Q_DECLARE_LOGGING_CATEGORY(logScreen)   // vemo.screen
Q_DECLARE_LOGGING_CATEGORY(logPublish)  // vemo.publish
Q_DECLARE_LOGGING_CATEGORY(logMessage)  // vemo.message: every message box's text
Q_DECLARE_LOGGING_CATEGORY(logCommand)  // vemo.command: commands from menus and other programs

// Time-stamped lines that name their category, unless QT_MESSAGE_PATTERN
// says otherwise; with `verbose` every category's debug lines too. Called
// before the QApplication is made, so that Qt's messages while it starts (the
// display, the platform plugin) are formatted the same way.
void SetUpLogging(bool verbose);

// Qt's Wayland client logs that its connection broke and then ends the
// process with _exit(), past every exit handler. `handler` runs once such a
// line has been logged, on the thread that logged it, before Qt goes on to
// end the process.
void SetDisplayLostHandler(void (*handler)());

}  // namespace vemo
