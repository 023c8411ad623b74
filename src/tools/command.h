#pragma once

#include <QCommandLineParser>
#include <QStringList>

#include <string>

namespace vemo::tools {

// Every vemoctl command ends with one of these.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the operation was tried and failed
inline constexpr int kExitUsage = 2;   // the command line itself is wrong

// One-line diagnostics in the form every vemoctl failure uses:
// "vemoctl: message" on standard error.
int Fail(const std::string& message);        // returns kExitFailed
int UsageError(const std::string& message);  // returns kExitUsage
void PrintLine(const std::string& line);

// Parses a sub-command's arguments (arguments[0] is the sub-command's name).
// Returns false after printing the parser's complaint, or when the count of
// positional arguments is outside [min_positional, max_positional]; the
// caller then ends with kExitUsage.
bool ParseCommand(QCommandLineParser& parser, const QStringList& arguments, int min_positional,
                  int max_positional);

// The help of one command (jpeg, settings, ...), or null for an unknown name.
const char* CommandHelp(const QString& command);
// The usage of vemoctl as a whole.
const char* OverallUsage();

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

// Asks a running engine to apply the settings file again.
enum class ReloadResult { kApplied, kNoEngine, kFailed };
ReloadResult ReloadEngineSettings(std::string& error);  // `error` set for kFailed

}  // namespace vemo::tools
