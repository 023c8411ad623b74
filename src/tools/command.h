#pragma once

#include <QCommandLineParser>
#include <QStringList>

#include <string>

namespace vemo::tools {

// One-line diagnostics in the form every vemoctl failure uses.
int Fail(const std::string& message);  // prints "vemoctl: message", returns 1
void PrintLine(const std::string& line);

// Parses a sub-command's arguments (arguments[0] is the sub-command's name).
// Returns false after printing the parser's complaint, or when the count of
// positional arguments is outside [min_positional, max_positional].
bool ParseCommand(QCommandLineParser& parser, const QStringList& arguments, int min_positional,
                  int max_positional);

int RunJpegCommand(const QStringList& arguments);
int RunGifCommand(const QStringList& arguments);
int RunGrabCommand(const QStringList& arguments);
int RunSettingsCommand(const QStringList& arguments);  // arguments[0] is "settings"
int RunProductCommand(const QStringList& arguments);   // arguments[0] is "product"

// A running engine's commands, over the session bus.
int RunCommandCommand(const QStringList& arguments);  // arguments[0] is "command"
int RunStatusCommand(const QStringList& arguments);   // arguments[0] is "status"
int RunRecordCommand(const QStringList& arguments);   // arguments[0] is "record"
int RunCameraCommand(const QStringList& arguments);   // arguments[0] is "camera"

}  // namespace vemo::tools
