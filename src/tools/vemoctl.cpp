#include "tools/vemoctl.h"

#include <cstdio>

#include "tools/command.h"

namespace vemo::tools {
namespace {

constexpr const char* kUsage =
    "usage: vemoctl COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  jpeg IN.ppm OUT.jpg                        code a binary PPM as a JPEG (quality 75)\n"
    "  gif IN.jpg OUT.gif [--max WxH] [--colors N]\n"
    "                                             convert a JPEG into a GIF, decoded at\n"
    "                                             1/1, 1/2, 1/4 or 1/8 to fit WxH, with at\n"
    "                                             most N colours (default: no limit, 256)\n"
    "\n"
    "Exit status: 0 on success, 1 on any failure (one line on standard error).\n";

}  // namespace

int Fail(const std::string& message) {
    std::fprintf(stderr, "vemoctl: %s\n", message.c_str());
    return 1;
}

void PrintLine(const std::string& line) {
    std::printf("%s\n", line.c_str());
}

bool ParseCommand(QCommandLineParser& parser, const QStringList& arguments, int min_positional,
                  int max_positional) {
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    if (!parser.parse(arguments)) {
        Fail(arguments.first().toStdString() + ": " + parser.errorText().toStdString());
        return false;
    }
    const auto count = parser.positionalArguments().size();
    if (count < min_positional || count > max_positional) {
        Fail(arguments.first().toStdString() + ": wrong number of arguments (see vemoctl --help)");
        return false;
    }
    return true;
}

int RunVemoctl(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    if (arguments.isEmpty()) return Fail("no command given (usage: vemoctl --help)");
    const QString command = arguments.first();
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "jpeg") return RunJpegCommand(arguments);
    if (command == "gif") return RunGifCommand(arguments);
    return Fail("unknown command '" + command.toStdString() + "' (see vemoctl --help)");
}

}  // namespace vemo::tools
