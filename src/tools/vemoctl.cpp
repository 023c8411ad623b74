#include "tools/vemoctl.h"

#include <algorithm>
#include <cstdio>

#include "tools/command.h"

namespace vemo::tools {
namespace {

using Runner = int (*)(const Arguments&);

Runner RunnerOf(std::string_view command) {
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

bool IsHelp(std::string_view argument) {
    return argument == "--help" || argument == "-h";
}

}  // namespace

int RunVemoctl(int argc, char** argv) {
    const Arguments arguments(argv + std::min(argc, 1), argv + argc);
    if (arguments.empty()) return UsageError("no command given (see vemoctl --help)");
    const std::string& command = arguments.front();
    if (IsHelp(command) || command == "help") {
        std::fputs(OverallUsage(), stdout);
        return kExitOk;
    }
    if (command == "--version") {
        if (arguments.size() > 1) {
            return UsageError("--version takes no arguments, not '" + arguments[1] + "'");
        }
        PrintLine("vemoctl " VEMO_VERSION);
        return kExitOk;
    }
    const Runner run = RunnerOf(command);
    if (run == nullptr) return UsageError("unknown command '" + command + "' (see vemoctl --help)");
    // Help wherever it stands among the options, as most tools give it; after
    // "--" the arguments are taken literally.
    const auto end = std::find(arguments.begin(), arguments.end(), "--");
    if (std::any_of(arguments.begin() + 1, end, [](const std::string& a) { return IsHelp(a); })) {
        std::fputs(CommandHelp(command), stdout);
        return kExitOk;
    }
    return run(arguments);
}

}  // namespace vemo::tools
