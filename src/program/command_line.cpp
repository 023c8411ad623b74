#include "program/command_line.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace vemo {
namespace {

constexpr const char* kUsage =
    "usage: vemo [--verbose] [Qt options]\n"
    "       vemo --help | --version\n"
    "\n"
    "The capture engine: publishes camera frames and the screen as pictures in\n"
    "vemo/ below the current directory, for the remote-support product it waits\n"
    "for through the shared record. Other programs drive it over the D-Bus\n"
    "session bus (see vemoctl --help).\n"
    "\n"
    "Options:\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "  --verbose  report more of what the engine does on standard error\n"
    "Qt's own options (-platform NAME, -display NAME, -style NAME, ...) go to Qt.\n"
    "\n"
    "Environment:\n"
    "  VEMO_SETTINGS_FILE     the settings file (default: $XDG_CONFIG_HOME/\n"
    "                         Lumetra/Corvexa Capture 4.0.ini, ~/.config)\n"
    "  CORVEXA_SHM            the shared record's name (default /corvexa-status)\n"
    "  VEMO_TEST_CAMERAS      test cameras in place of real ones: a count, or\n"
    "                         names such as \"Front;Back\", each with options\n"
    "                         (\"Desk|uvc\", \"Clip|replay=clip.avi\"; see vemo(1))\n"
    "  VEMO_TEST_CAMERA_SIZE  the test cameras' frame size WxH (default 640x480)\n"
    "  VEMO_MESSAGE_ANSWERS   answer the message boxes in turn, e.g. \"1,2\" (1 OK,\n"
    "                         2 Cancel), writing each text to standard error\n"
    "  VEMO_MESSAGE_NESTED    keep each answered box open for MS milliseconds\n"
    "  VEMO_FILE_ANSWERS      answer the file choices in turn, e.g.\n"
    "                         \"a.avi;;b.avi\" (an empty entry cancels)\n"
    "  VEMO_SCREEN_BACKEND    where the screen comes from: portal (the desktop's\n"
    "                         screen-cast portal, the default on Wayland), x11\n"
    "                         (the X server of DISPLAY, the default otherwise),\n"
    "                         x11-noshm (X11 without shared memory), null (none)\n"
    "  QT_LOGGING_RULES       which log messages are shown (Qt's rules)\n"
    "\n"
    "Exit status: 0 the engine ran and was closed; 1 it could not start;\n"
    "2 usage error (unknown option).\n";

// Qt's command-line options, which QApplication takes out of argv itself;
// the first ones take a value.
constexpr std::string_view kQtOptionsWithValue[] = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "display", "geometry",
    "style",       "stylesheet",         "title",         "name"};
constexpr std::string_view kQtFlags[] = {"reverse", "widgetcount", "sync", "nograb", "dograb"};

// Qt takes its options with one dash or two.
std::string_view QtName(std::string_view argument) {
    if (argument.starts_with("--")) return argument.substr(2);
    if (argument.starts_with("-")) return argument.substr(1);
    return {};
}

bool In(std::string_view name, auto& names) {
    return !name.empty() && std::ranges::find(names, name) != std::end(names);
}

}  // namespace

std::optional<int> HandleCommandLine(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::puts("vemo " VEMO_VERSION);
            return 0;
        }
        if (argument == "--verbose" || In(QtName(argument), kQtFlags)) continue;
        if (In(QtName(argument), kQtOptionsWithValue)) {
            if (++i < argc) continue;
            std::fprintf(stderr, "vemo: %s needs a value (see vemo --help)\n", argv[i - 1]);
            return 2;
        }
        std::fprintf(stderr, "vemo: unknown option '%s' (see vemo --help)\n", argv[i]);
        return 2;
    }
    return std::nullopt;
}

bool VerboseRequested(int argc, char** argv) {
    return std::any_of(argv + std::min(argc, 1), argv + argc, [](const char* argument) {
        return std::string_view(argument) == "--verbose";
    });
}

}  // namespace vemo
