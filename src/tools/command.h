#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemo::tools {

// A command's words: [0] is the command's name ("jpeg", "settings"), the
// rest its arguments as given.
using Arguments = std::vector<std::string>;

// Every vemoctl command ends with one of these.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the operation was tried and failed
inline constexpr int kExitUsage = 2;   // the command line itself is wrong

// One-line diagnostics in the form every vemoctl failure uses:
// "vemoctl: message" on standard error.
int Fail(const std::string& message);        // returns kExitFailed
int UsageError(const std::string& message);  // returns kExitUsage
void PrintLine(const std::string& line);

// One option a command takes: --name, or --name VALUE (also --name=VALUE).
struct OptionSpec {
    std::string_view name;  // without the dashes
    bool takes_value = false;
};

// A command's arguments split into options and positional arguments.
// Options may stand anywhere among the positional arguments; "--" ends
// them, and "-" alone is a positional argument (standard input or output),
// as is a negative number ("-5").
class ParsedCommand {
  public:
    bool has(std::string_view name) const;
    // The value of the option's last occurrence.
    std::optional<std::string> value(std::string_view name) const;
    const std::vector<std::string>& positional() const { return positional_; }

  private:
    friend std::optional<ParsedCommand> ParseCommand(std::string_view, const Arguments&,
                                                     std::initializer_list<OptionSpec>, std::size_t,
                                                     std::size_t);
    std::vector<std::pair<std::string, std::string>> options_;
    std::vector<std::string> positional_;
};

// Parses `arguments` (arguments[0] is the command's name, skipped) as
// `command` ("gif", "product watch") takes them. Returns nullopt after
// printing the complaint, for an unknown option, a missing value or a count
// of positional arguments outside [min_positional, max_positional]; the
// caller then ends with kExitUsage.
std::optional<ParsedCommand> ParseCommand(std::string_view command, const Arguments& arguments,
                                          std::initializer_list<OptionSpec> options,
                                          std::size_t min_positional, std::size_t max_positional);

// ParseCommand for a command with actions ("record start --now"): arguments[0]
// is the command, arguments[1] the action; the command named in complaints is
// both ("record start").
std::optional<ParsedCommand> ParseAction(const Arguments& arguments,
                                         std::initializer_list<OptionSpec> options,
                                         std::size_t min_positional, std::size_t max_positional);

// The complaint for a command's first word that is none of its actions: an
// unknown option when the word is an option, else `expected`. Returns
// kExitUsage.
int UnknownAction(const Arguments& arguments, const std::string& expected);

// Whole numbers and decimal numbers as options take them: the whole text,
// no sign for the unsigned, no spaces.
std::optional<std::uint64_t> ParseUnsigned(std::string_view text);
std::optional<double> ParseDecimal(std::string_view text);

// The help of one command (jpeg, settings, ...), or null for an unknown name.
const char* CommandHelp(std::string_view command);
// The usage of vemoctl as a whole.
const char* OverallUsage();

int RunJpegCommand(const Arguments& arguments);
int RunGifCommand(const Arguments& arguments);
// Loads the screen grab, with Xlib, only for this command.
int RunGrabCommand(const Arguments& arguments);
int RunSettingsCommand(const Arguments& arguments);  // arguments[0] is "settings"
int RunProductCommand(const Arguments& arguments);   // arguments[0] is "product"

// A running engine's commands, over the session bus.
int RunCommandCommand(const Arguments& arguments);  // arguments[0] is "command"
int RunStatusCommand(const Arguments& arguments);   // arguments[0] is "status"
int RunRecordCommand(const Arguments& arguments);   // arguments[0] is "record"
int RunCameraCommand(const Arguments& arguments);   // arguments[0] is "camera"

// The running engine's settings file, as it tells it.
struct EngineSettingsFile {
    enum class Status { kKnown, kNoEngine, kFailed } status = Status::kNoEngine;
    std::string path;   // kKnown: the absolute path the engine reads
    std::string error;  // kFailed: why it could not be asked
};
EngineSettingsFile AskEngineSettingsFile();

// Asks a running engine to apply the settings file again.
enum class ReloadResult { kApplied, kNoEngine, kFailed };
ReloadResult ReloadEngineSettings(std::string& error);  // `error` set for kFailed

}  // namespace vemo::tools
