// vemoctl's help: the overall usage and one text per command, each line at
// most 80 columns.

#include <array>
#include <utility>

#include "tools/command.h"

namespace vemo::tools {
namespace {

constexpr const char* kUsage =
    "usage: vemoctl COMMAND [ARGS]\n"
    "       vemoctl COMMAND --help        help on one command\n"
    "       vemoctl --help | --version\n"
    "\n"
    "Commands:\n"
    "  jpeg IN.ppm OUT.jpg             code a binary PPM as a JPEG\n"
    "  gif IN.jpg OUT.gif [OPTIONS]    convert a JPEG into a small GIF\n"
    "  grab [OPTIONS]                  grab the screen once into DIR/vemo/\n"
    "  settings list | get | set       the engine's stored settings\n"
    "  product status | ready | watch  the product's side of the shared record\n"
    "  command ID | --list             send a menu command to the running engine\n"
    "  status                          print the running engine's state\n"
    "  record file | start | stop      record the running engine's camera\n"
    "  camera controls | set | formats | format\n"
    "                                  the running engine's camera\n"
    "\n"
    "An IN of - is standard input, an OUT of - standard output. Options may stand\n"
    "anywhere among the arguments; -- ends them.\n"
    "\n"
    "The settings file is $VEMO_SETTINGS_FILE, else the one the running engine\n"
    "reads, else $XDG_CONFIG_HOME/Lumetra/Corvexa Capture 4.0.ini (~/.config by\n"
    "default).\n"
    "The shared record is the shared-memory object $CORVEXA_SHM, else\n"
    "/corvexa-status. The engine is reached as com.lumetra.Vemo on the D-Bus\n"
    "session bus ($DBUS_SESSION_BUS_ADDRESS).\n"
    "\n"
    "Exit status: 0 success; 1 the operation failed (a file that cannot be read\n"
    "or written, no running engine, the engine refused); 2 usage error (unknown\n"
    "command or option, missing or malformed argument, a value out of range).\n"
    "Every failure prints one line \"vemoctl: ...\" on standard error.\n";

constexpr const char* kJpegHelp =
    "usage: vemoctl jpeg IN.ppm OUT.jpg\n"
    "\n"
    "Codes a binary PPM (P6, any maxval from 1 to 65535; samples of 16 bits are\n"
    "scaled to 8) as a JPEG of quality 75.\n"
    "IN may be - for standard input, OUT - for standard output. OUT is written\n"
    "under a temporary name and put in place once complete.\n";

constexpr const char* kGifHelp =
    "usage: vemoctl gif IN.jpg OUT.gif [--max WxH] [--colors N] [--max-pixels P]\n"
    "\n"
    "Converts a JPEG into a GIF, as the engine makes its small pictures. IN may\n"
    "be - for standard input, OUT - for standard output.\n"
    "\n"
    "  --max WxH         the picture is decoded at 1/1, 1/2, 1/4 or 1/8 of its\n"
    "                    size, the largest that fits within WxH, and not scaled\n"
    "                    further: one that does not fit even at 1/8 stays larger\n"
    "                    than WxH (default: no limit, 1/1)\n"
    "  --colors N        at most N colours, from 8 to 256 (default 256)\n"
    "  --max-pixels P    refuse pictures of more than P pixels before decoding\n"
    "                    them (default 100000000)\n";

constexpr const char* kGrabHelp =
    "usage: vemoctl grab [--dir DIR] [--whole | --imode] [--division D]\n"
    "                    [--width W] [--rotate] [--colors N] [--stop] [--timeout S]\n"
    "\n"
    "Starts screen capture on the X display named by DISPLAY, grabs once into\n"
    "DIR/vemo/ as the engine publishes, and prints each file written.\n"
    "\n"
    "  --dir DIR         the working directory (default: the current one);\n"
    "                    DIR/vemo must exist\n"
    "  --whole, --imode  one whole-screen picture, or the i-mode picture and tiles\n"
    "  --division D      tiles across and down, 1 to 10\n"
    "  --width W         width of the i-mode picture, 50 to 200\n"
    "  --rotate          turn the i-mode pictures a quarter turn\n"
    "  --colors N        colours of the GIFs, 8 to 256\n"
    "  --stop            stop screen capture afterwards\n"
    "  --timeout S       an X server, or a screen-cast portal and its PipeWire\n"
    "                    stream, that does not answer within S seconds (default\n"
    "                    10) ends the grab with an error; on a Wayland desktop\n"
    "                    the first grab may wait for the desktop's permission\n"
    "                    dialog, so give it more\n"
    "\n"
    "The options override the stored settings for this grab only.\n";

constexpr const char* kSettingsHelp =
    "usage: vemoctl settings list\n"
    "       vemoctl settings get NAME\n"
    "       vemoctl settings set NAME VALUE\n"
    "\n"
    "list  every setting, one a line: NAME=VALUE (MIN..MAX, default) when it has\n"
    "      its default value, else NAME=VALUE (MIN..MAX, default D)\n"
    "get   print one setting's value\n"
    "set   store a value; one outside MIN..MAX, the values the engine uses, is\n"
    "      refused. The value goes into the file a running engine reads (D-Bus\n"
    "      SettingsFile), and the engine is told to apply it (ReloadSettings):\n"
    "      vemoctl prints \"applied to the running engine\" or \"stored; no\n"
    "      running engine\". When the engine fails to apply it, or reads another\n"
    "      file than $VEMO_SETTINGS_FILE names, vemoctl prints \"stored; not\n"
    "      applied to the running engine\" and why on standard error (the exit\n"
    "      status is still 0).\n"
    "\n"
    "The file is $VEMO_SETTINGS_FILE, else the one the running engine reads,\n"
    "else $XDG_CONFIG_HOME/Lumetra/Corvexa Capture 4.0.ini (~/.config by\n"
    "default).\n";

constexpr const char* kProductHelp =
    "usage: vemoctl product status\n"
    "       vemoctl product ready 0|1\n"
    "       vemoctl product watch [--for SECONDS]\n"
    "\n"
    "The product's side of the shared record, the shared-memory object\n"
    "$CORVEXA_SHM, else /corvexa-status.\n"
    "\n"
    "status  print its four fields; the record is only read, and its absence is\n"
    "        a failure (\"no shared record\")\n"
    "ready   set product_ready, as the product does (creates the record)\n"
    "watch   print a timestamped line at each change of camera_busy or\n"
    "        screen_busy, and one when the engine starts or ends\n"
    "        (engine_running=1 or 0), until interrupted or SECONDS have passed\n";

constexpr const char* kCommandHelp =
    "usage: vemoctl command ID\n"
    "       vemoctl command --list\n"
    "\n"
    "Sends command ID (0 to 65535) to the running engine, as its menu would. It\n"
    "is carried out after vemoctl returns; while a dialog is open in the engine,\n"
    "once the dialog has closed. Ids the engine does not act on do nothing.\n"
    "--list prints every id the engine acts on, what it does and its menu item.\n";

constexpr const char* kStatusHelp =
    "usage: vemoctl status\n"
    "\n"
    "Prints the running engine's status bar text; while a recording runs, the\n"
    "line recording to PATH; then the camera (device, publishing and interval),\n"
    "the screen (publishing, interval, backend) and the recording (held, running\n"
    "or none, and its file). While start-up is under way the first line reads\n"
    "the engine is starting. A box or dialog waiting for an answer in the\n"
    "engine's window is named on a last line: waiting: \"TITLE\" ... Text holding\n"
    "a control character, or a file name holding \" or \\, is shown in double\n"
    "quotes with C escapes (\\n, \\\", \\\\, \\033); an empty status bar text\n"
    "keeps its first line, as \"\".\n";

constexpr const char* kRecordHelp =
    "usage: vemoctl record file PATH\n"
    "       vemoctl record start [--now]\n"
    "       vemoctl record stop\n"
    "\n"
    "file   name the engine's capture file (made absolute first)\n"
    "start  start recording the camera into the capture file. The engine asks for\n"
    "       the go-ahead in its window and vemoctl waits for the answer: exit 0\n"
    "       and recording to PATH once given, exit 1 when it is cancelled there\n"
    "       or the start is refused (the reason is printed). An engine without a\n"
    "       display cannot ask and refuses at once.\n"
    "       --now starts without the go-ahead (for scripts and services; the\n"
    "       engine logs it); a capture file must have been named.\n"
    "stop   stop the recording and print its statistics line (exit 1 when none\n"
    "       runs); a start waiting for its go-ahead is cancelled\n";

constexpr const char* kCameraHelp =
    "usage: vemoctl camera controls\n"
    "       vemoctl camera set NAME VALUE\n"
    "       vemoctl camera formats\n"
    "       vemoctl camera format WIDTHxHEIGHT[@RATE]\n"
    "\n"
    "controls  the running engine's camera controls, one a line:\n"
    "          name=value (min..max step S, default D), a menu's items after it\n"
    "          as [N item, N item]\n"
    "set       set a control to a whole number from min to max, or to a menu's\n"
    "          item by number or name; any other value is refused (exit status 2)\n"
    "formats   the camera's formats, one a line, smaller sizes first and at one\n"
    "          size slower rates first: WxH@RATE FORMAT\n"
    "format    use that format from now on; RATE as formats prints it, or a\n"
    "          decimal number\n";

constexpr std::array<std::pair<const char*, const char*>, 9> kHelps = {{
    {"jpeg", kJpegHelp},
    {"gif", kGifHelp},
    {"grab", kGrabHelp},
    {"settings", kSettingsHelp},
    {"product", kProductHelp},
    {"command", kCommandHelp},
    {"status", kStatusHelp},
    {"record", kRecordHelp},
    {"camera", kCameraHelp},
}};

}  // namespace

const char* CommandHelp(std::string_view command) {
    for (const auto& [name, help] : kHelps) {
        if (command == name) return help;
    }
    return nullptr;
}

const char* OverallUsage() {
    return kUsage;
}

}  // namespace vemo::tools
