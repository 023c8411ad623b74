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
    "  gif IN.jpg OUT.gif [--max WxH] [--colors N] [--max-pixels P]\n"
    "                                             convert a JPEG into a GIF, decoded at\n"
    "                                             1/1, 1/2, 1/4 or 1/8 to fit WxH, with at\n"
    "                                             most N colours (default: no limit, 256);\n"
    "                                             pictures of more than P pixels are\n"
    "                                             refused (default 100000000)\n"
    "  grab [--dir DIR] [--whole | --imode] [--division D] [--width W] [--rotate]\n"
    "       [--colors N] [--stop] [--timeout S]\n"
    "                                             start screen capture on the X display\n"
    "                                             named by DISPLAY, grab once into\n"
    "                                             DIR/vemo/ (DIR/vemo must exist; default\n"
    "                                             DIR: the current directory), print each\n"
    "                                             file written; --stop stops afterwards.\n"
    "                                             Options override the stored settings\n"
    "                                             for this run only: D 1-10, W 50-200,\n"
    "                                             N 8-256. An X server that does not\n"
    "                                             answer within S seconds (default 10)\n"
    "                                             ends the grab with an error\n"
    "  settings list                              every setting as name=value, marked\n"
    "                                             (default) when it has its default value\n"
    "  settings get NAME                          print one setting\n"
    "  settings set NAME VALUE                    store a setting (0 to 4294967295)\n"
    "  product status                             print the shared record's four fields\n"
    "  product ready 0|1                          set product_ready, as the product does\n"
    "  product watch [--for SECONDS]              print a timestamped line at each change\n"
    "                                             of camera_busy or screen_busy, until\n"
    "                                             interrupted or SECONDS have passed\n"
    "  command ID                                 send command ID (0-65535) to the\n"
    "                                             running engine, as its menu would; it\n"
    "                                             is carried out after vemoctl returns\n"
    "  status                                     print the engine's status bar text\n"
    "  record file PATH                           name the engine's capture file\n"
    "  record start | stop                        start or stop capture to the file\n"
    "                                             (commands 7 and 8)\n"
    "  camera controls                            the camera's controls, one a line:\n"
    "                                             name=value (min..max step S, default D)\n"
    "  camera set NAME VALUE                      set a control (a menu's item by number\n"
    "                                             or name)\n"
    "  camera formats                             the camera's formats: WxH@RATE FORMAT\n"
    "  camera format WIDTHxHEIGHT[@RATE]          use that format from now on\n"
    "\n"
    "The settings file is $VEMO_SETTINGS_FILE, else\n"
    "$XDG_CONFIG_HOME/Lumetra/Corvexa Capture 4.0.ini (~/.config by default). The shared\n"
    "record is the shared-memory object $CORVEXA_SHM, else /corvexa-status. The engine\n"
    "is reached as com.lumetra.Vemo on the D-Bus session bus\n"
    "($DBUS_SESSION_BUS_ADDRESS); without it: \"vemoctl: no running engine\".\n"
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
    if (command == "grab") return RunGrabCommand(arguments);
    if (command == "settings") return RunSettingsCommand(arguments);
    if (command == "product") return RunProductCommand(arguments);
    if (command == "command") return RunCommandCommand(arguments);
    if (command == "status") return RunStatusCommand(arguments);
    if (command == "record") return RunRecordCommand(arguments);
    if (command == "camera") return RunCameraCommand(arguments);
    return Fail("unknown command '" + command.toStdString() + "' (see vemoctl --help)");
}

}  // namespace vemo::tools
