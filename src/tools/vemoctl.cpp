#include "tools/vemoctl.h"

#include <algorithm>
#include <cstdio>

#include "tools/command.h"

namespace vemo::tools {
namespace {

using Runner = int (*)(const QStringList&);

Runner RunnerOf(const QString& command) {
    if (command == "jpeg") return RunJpegCommand;
    if (command == "gif") return RunGifCommand;
    if (command == "grab") return RunGrabCommand;
    if (command == "settings") return RunSettingsCommand;
    if (command == "product") return RunProductCommand;
    if (command == "command") return RunCommandCommand;
    if (command == "status") return RunStatusCommand;
    if (command == "record") return RunRecordCommand;
    if (command == "camera") return RunCameraCommand;
    return nullptr;
}

bool IsHelp(const QString& argument) {
    return argument == "--help" || argument == "-h";
}

}  // namespace

int Fail(const std::string& message) {
    std::fprintf(stderr, "vemoctl: %s\n", message.c_str());
    return kExitFailed;
}

int UsageError(const std::string& message) {
    Fail(message);
    return kExitUsage;
}

void PrintLine(const std::string& line) {
    std::printf("%s\n", line.c_str());
}

bool ParseCommand(QCommandLineParser& parser, const QStringList& arguments, int min_positional,
                  int max_positional) {
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    if (!parser.parse(arguments)) {
        UsageError(arguments.first().toStdString() + ": " + parser.errorText().toStdString());
        return false;
    }
    const auto count = parser.positionalArguments().size();
    if (count < min_positional || count > max_positional) {
        UsageError(arguments.first().toStdString() + ": wrong number of arguments (see vemoctl " +
                   arguments.first().section(' ', 0, 0).toStdString() + " --help)");
        return false;
    }
    return true;
}

int RunVemoctl(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    if (arguments.isEmpty()) return UsageError("no command given (see vemoctl --help)");
    const QString command = arguments.first();
    if (IsHelp(command) || command == "help") {
        std::fputs(OverallUsage(), stdout);
        return kExitOk;
    }
    if (command == "--version") {
        PrintLine("vemoctl " VEMO_VERSION);
        return kExitOk;
    }
    const Runner run = RunnerOf(command);
    if (run == nullptr) {
        return UsageError("unknown command '" + command.toStdString() + "' (see vemoctl --help)");
    }
    // Help wherever it stands among the options, as most tools give it; after
    // "--" the arguments are taken literally.
    const auto end = std::find(arguments.begin(), arguments.end(), QStringLiteral("--"));
    if (std::any_of(arguments.begin() + 1, end, IsHelp)) {
        std::fputs(CommandHelp(command), stdout);
        return kExitOk;
    }
    return run(arguments);
}

}  // namespace vemo::tools
