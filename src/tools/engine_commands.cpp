// vemoctl command, status, record and camera: a running engine's commands,
// sent over the session bus (engine_bus.h).

#include <dbus/dbus.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "base/engine_command_list.h"
#include "tools/command.h"
#include "tools/engine_bus.h"
#include "tools/one_line.h"

namespace vemo::tools {
namespace {

// A start or a stop without a person: the camera's graph is built or the
// file's index written within seconds (a stop waits at most five for it).
constexpr int kStartLimitMs = 30000;

// The outcome's answer, or nullopt after printing why there was none. A
// value the engine finds malformed or out of range is a usage error.
std::optional<MessagePtr> Answer(Outcome outcome, int& status) {
    if (outcome.reply) return std::move(outcome.reply);
    if (outcome.invalid) {
        status = UsageError(outcome.error);
    } else {
        status = Fail(outcome.no_engine ? NoEngineMessage() : outcome.error);
    }
    return std::nullopt;
}

// The text an answer carries, or nullopt after printing why it has none.
std::optional<std::string> TextOf(const char* what, const MessagePtr& reply) {
    Error error;
    const char* text = nullptr;
    if (!Api().dbus_message_get_args(reply.get(), error.get(), DBUS_TYPE_STRING, &text,
                                     DBUS_TYPE_INVALID)) {
        Fail(std::string(what) + ": unexpected answer: " + error.message());
        return std::nullopt;
    }
    return std::string(text);
}

// A value's fields as text: strings as they are, booleans true or false,
// numbers in decimal; a variant's or a structure's contents in order.
void CollectFields(DBusMessageIter* value, std::vector<std::string>& fields) {
    for (int type; (type = Api().dbus_message_iter_get_arg_type(value)) != DBUS_TYPE_INVALID;
         Api().dbus_message_iter_next(value)) {
        DBusBasicValue basic{};
        switch (type) {
            case DBUS_TYPE_VARIANT:
            case DBUS_TYPE_STRUCT: {
                DBusMessageIter inner;
                Api().dbus_message_iter_recurse(value, &inner);
                CollectFields(&inner, fields);
                break;
            }
            case DBUS_TYPE_STRING:
                Api().dbus_message_iter_get_basic(value, &basic);
                fields.emplace_back(basic.str);
                break;
            case DBUS_TYPE_BOOLEAN:
                Api().dbus_message_iter_get_basic(value, &basic);
                fields.emplace_back(basic.bool_val ? "true" : "false");
                break;
            case DBUS_TYPE_UINT32:
                Api().dbus_message_iter_get_basic(value, &basic);
                fields.push_back(std::to_string(basic.u32));
                break;
            default:
                fields.emplace_back();  // a type this vemoctl does not show
                break;
        }
    }
}

// The engine's properties by name, or nullopt after printing why there are
// none.
using Properties = std::map<std::string, std::vector<std::string>>;
std::optional<Properties> ReadProperties(Engine& engine, const char* what, int& status) {
    const auto reply = Answer(engine.Call(
                                  what, "GetAll",
                                  [](DBusMessage* call) {
                                      const char* interface = kDBusInterface;
                                      return Api().dbus_message_append_args(
                                          call, DBUS_TYPE_STRING, &interface, DBUS_TYPE_INVALID);
                                  },
                                  kCallTimeoutMs, DBUS_INTERFACE_PROPERTIES),
                              status);
    if (!reply) return std::nullopt;
    DBusMessageIter answer;
    DBusMessageIter entries;
    if (!Api().dbus_message_iter_init(reply->get(), &answer) ||
        Api().dbus_message_iter_get_arg_type(&answer) != DBUS_TYPE_ARRAY) {
        status = Fail(std::string(what) + ": unexpected answer to GetAll");
        return std::nullopt;
    }
    Properties properties;
    Api().dbus_message_iter_recurse(&answer, &entries);
    for (; Api().dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY;
         Api().dbus_message_iter_next(&entries)) {
        DBusMessageIter entry;
        Api().dbus_message_iter_recurse(&entries, &entry);
        if (Api().dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_STRING) continue;
        DBusBasicValue name{};
        Api().dbus_message_iter_get_basic(&entry, &name);
        Api().dbus_message_iter_next(&entry);
        CollectFields(&entry, properties[name.str]);
    }
    return properties;
}

int SendCommand(const char* what, std::uint32_t id) {
    int status = kExitOk;
    Engine engine;
    Answer(engine.Call(what, "Command",
                       [id](DBusMessage* call) {
                           return Api().dbus_message_append_args(call, DBUS_TYPE_UINT32, &id,
                                                                 DBUS_TYPE_INVALID);
                       }),
           status);
    return status;
}

std::optional<std::uint32_t> CommandId(const std::string& text) {
    const std::optional<std::uint64_t> id = ParseUnsigned(text);
    if (!id || text.size() > 5 || *id > kDBusLastCommandId) return std::nullopt;
    return static_cast<std::uint32_t>(*id);
}

// A call that carries text arguments; its answer, when it has one, is text
// printed as it comes (it ends in a newline).
int SendText(const char* what, const char* method, const std::vector<std::string>& texts,
             bool print_answer = false) {
    if (!Api().ok()) return Fail(std::string(what) + ": " + Api().error);
    // D-Bus carries UTF-8 text only.
    for (const std::string& text : texts) {
        if (!Api().dbus_validate_utf8(text.c_str(), nullptr)) {
            return UsageError(std::string(what) + ": '" + text + "' is not valid UTF-8");
        }
    }
    int status = kExitOk;
    Engine engine;
    const auto reply =
        Answer(engine.Call(what, method,
                           [&texts](DBusMessage* call) {
                               for (const std::string& text : texts) {
                                   const char* data = text.c_str();
                                   if (!Api().dbus_message_append_args(call, DBUS_TYPE_STRING,
                                                                       &data, DBUS_TYPE_INVALID)) {
                                       return false;
                                   }
                               }
                               return true;
                           }),
               status);
    if (!reply || !print_answer) return status;
    const std::optional<std::string> text = TextOf(what, *reply);
    if (!text) return kExitFailed;
    std::fputs(text->c_str(), stdout);
    return kExitOk;
}

int SetCaptureFile(const std::string& path) {
    if (path.empty()) return UsageError("record file: PATH is empty");
    std::error_code error;
    const std::string absolute = std::filesystem::absolute(path, error).string();
    if (error) return Fail("record file: " + error.message());
    return SendText("record file", "SetCaptureFileName", {absolute});
}

// WIDTHxHEIGHT with an optional @RATE, RATE a decimal number or N/D as
// `camera formats` prints it: anything else is refused before the engine
// is asked.
bool IsFormat(const std::string& text) {
    const std::size_t x = text.find('x');
    const std::size_t at = text.find('@');
    const auto positive = [](std::string_view digits) {
        const std::optional<std::uint64_t> value = ParseUnsigned(digits);
        return value && *value > 0 && *value <= 65535;
    };
    if (x == std::string::npos || !positive(std::string_view(text).substr(0, x)) ||
        !positive(
            std::string_view(text).substr(x + 1, at == std::string::npos ? at : at - x - 1))) {
        return false;
    }
    if (at == std::string::npos) return true;
    const std::string_view rate = std::string_view(text).substr(at + 1);
    const std::size_t slash = rate.find('/');
    if (slash != std::string_view::npos) {
        const auto numerator = ParseUnsigned(rate.substr(0, slash));
        const auto denominator = ParseUnsigned(rate.substr(slash + 1));
        return numerator && denominator && *numerator > 0 && *denominator > 0;
    }
    const std::optional<double> value = ParseDecimal(rate);
    return value && *value > 0 && *value < 1e6;
}

}  // namespace

int RunCameraCommand(const Arguments& arguments) {
    const std::string action = arguments.size() > 1 ? arguments[1] : std::string();
    if (action == "controls" || action == "formats") {
        if (!ParseAction(arguments, {}, 0, 0)) return kExitUsage;
        return action == "controls" ? SendText("camera controls", "CameraControls", {}, true)
                                    : SendText("camera formats", "CameraFormats", {}, true);
    }
    if (action == "set") {
        const auto parsed = ParseAction(arguments, {}, 2, 2);
        if (!parsed) return kExitUsage;
        // Whether VALUE is a number in the control's range, or one of its
        // menu's items, only the engine knows.
        return SendText("camera set", "SetCameraControl", parsed->positional());
    }
    if (action == "format") {
        const auto parsed = ParseAction(arguments, {}, 1, 1);
        if (!parsed) return kExitUsage;
        const std::string& format = parsed->positional()[0];
        if (!IsFormat(format)) {
            return UsageError(
                "camera format: a format is WIDTHxHEIGHT[@RATE], e.g. 640x480@30, "
                "not '" +
                format + "'");
        }
        return SendText("camera format", "SetCameraFormat", {format});
    }
    return UnknownAction(
        arguments,
        "camera: expected controls, set NAME VALUE, formats or format WIDTHxHEIGHT[@RATE] (see "
        "vemoctl camera --help)");
}

int RunCommandCommand(const Arguments& arguments) {
    const auto parsed = ParseCommand("command", arguments, {{"list"}}, 0, 1);
    if (!parsed) return kExitUsage;
    const std::vector<std::string>& words = parsed->positional();
    if (parsed->has("list") != words.empty()) {
        return UsageError("command: wrong number of arguments (see vemoctl command --help)");
    }
    if (parsed->has("list")) {
        for (const EngineCommand& command : kEngineCommands) {
            std::string ids = std::to_string(command.first);
            // Appended piece by piece: "-" + std::to_string(...) inserts at
            // the front of the temporary, where GCC 12 at -O3 sees an
            // overlapping copy that cannot happen (a bogus -Wrestrict).
            if (command.last != command.first) {
                ids += '-';
                ids += std::to_string(command.last);
            }
            std::string line = ids + std::string(7 - ids.size(), ' ') + std::string(command.does);
            if (!command.menu.empty()) line += " (menu " + std::string(command.menu) + ")";
            PrintLine(line);
        }
        return kExitOk;
    }
    const std::optional<std::uint32_t> id = CommandId(words[0]);
    if (!id) return UsageError("command: ID is a number from 0 to 65535, not '" + words[0] + "'");
    return SendCommand("command", *id);
}

int RunStatusCommand(const Arguments& arguments) {
    if (!ParseCommand("status", arguments, {}, 0, 0)) return kExitUsage;
    int status = kExitOk;
    Engine engine;
    const std::optional<Properties> properties = ReadProperties(engine, "status", status);
    if (!properties) return status;
    const auto field = [&properties](const char* name, std::size_t index = 0) {
        const auto found = properties->find(name);
        return found != properties->end() && found->second.size() > index ? found->second[index]
                                                                          : std::string();
    };
    if (field("Ready") != "true") {
        PrintLine("the engine is starting");
    } else {
        // The first two lines as they have always been: the status bar's
        // text, then the running recording's file. An empty text keeps its
        // line, so that the second is still the recording's, shown as the
        // empty quoted text rather than as a blank line.
        const std::string text = field("Status");
        PrintLine(text.empty() ? std::string("\"\"") : OneLine(text));
        const std::string recording = field("RecordingState");
        const std::string file = OneLine(field("CaptureFile"), /*file_name=*/true);
        if (recording == "running") PrintLine("recording to " + file);
        const std::string device = OneLine(field("CameraDevice"));
        PrintLine("camera: " + (device.empty() ? std::string("none") : device) + ", " +
                  (field("CameraPublishing") == "true"
                       ? "publishing every " + field("CameraTimer") + " s"
                       : std::string("not publishing")));
        PrintLine("screen: " +
                  (field("ScreenPublishing") == "true"
                       ? "publishing every " + field("ScreenTimer") + " s"
                       : std::string("not publishing")) +
                  " (" + field("ScreenBackend") + ")");
        if (recording == "idle") {
            PrintLine("recording: none; capture file " + (file.empty() ? "not named" : file));
        } else if (recording == "held") {
            PrintLine("recording: held for its go-ahead in the engine's window, into " + file);
        } else {
            PrintLine("recording: " + recording + ", into " + file);
        }
    }
    if (const std::string title = field("Waiting"); !title.empty()) {
        PrintLine("waiting: \"" + title +
                  "\" waits for an answer: " + OneLine(field("Waiting", 1)));
    }
    return kExitOk;
}

int RunRecordCommand(const Arguments& arguments) {
    const std::string action = arguments.size() > 1 ? arguments[1] : std::string();
    if (action == "file") {
        const auto parsed = ParseAction(arguments, {}, 1, 1);
        return parsed ? SetCaptureFile(parsed->positional()[0]) : kExitUsage;
    }
    if (action == "start") {
        const auto parsed = ParseAction(arguments, {{"now"}}, 0, 0);
        if (!parsed) return kExitUsage;
        const bool now = parsed->has("now");
        // Without --now the answer waits for the person at the engine's window.
        int status = kExitOk;
        Engine engine;
        const dbus_bool_t without_go_ahead = now;
        const auto reply =
            Answer(engine.Call(
                       "record start", "StartRecording",
                       [&without_go_ahead](DBusMessage* call) {
                           return Api().dbus_message_append_args(
                               call, DBUS_TYPE_BOOLEAN, &without_go_ahead, DBUS_TYPE_INVALID);
                       },
                       now ? kStartLimitMs : kWaitForAPerson),
                   status);
        if (!reply) return status;
        const std::optional<std::string> file = TextOf("record start", *reply);
        if (!file) return kExitFailed;
        PrintLine("recording to " + OneLine(*file, /*file_name=*/true));
        return kExitOk;
    }
    if (action == "stop") {
        if (!ParseAction(arguments, {}, 0, 0)) return kExitUsage;
        int status = kExitOk;
        Engine engine;
        const auto reply = Answer(
            engine.Call(
                "record stop", "StopRecording", [](DBusMessage*) { return true; }, kStartLimitMs),
            status);
        if (!reply) return status;
        const std::optional<std::string> line = TextOf("record stop", *reply);
        if (!line) return kExitFailed;
        PrintLine(OneLine(*line));
        return kExitOk;
    }
    return UnknownAction(
        arguments, "record: expected file PATH, start [--now] or stop (see vemoctl record --help)");
}

// An engine that is not running has nothing to apply and reads its file when
// it starts, so none is started for these.
EngineSettingsFile AskEngineSettingsFile() {
    EngineSettingsFile answer;
    Engine engine(false);
    Outcome outcome = engine.Call("the running engine's settings file", "SettingsFile");
    if (outcome.no_engine) return answer;
    answer.status = EngineSettingsFile::Status::kFailed;
    answer.error = outcome.error;
    if (!outcome.reply) return answer;
    Error error;
    const char* path = nullptr;
    if (!Api().dbus_message_get_args(outcome.reply.get(), error.get(), DBUS_TYPE_STRING, &path,
                                     DBUS_TYPE_INVALID)) {
        answer.error = "the running engine's settings file: unexpected answer: " + error.message();
        return answer;
    }
    answer.status = EngineSettingsFile::Status::kKnown;
    answer.path = path;
    return answer;
}

ReloadResult ReloadEngineSettings(std::string& error) {
    Engine engine(false);
    const Outcome outcome = engine.Call("the running engine did not apply it", "ReloadSettings");
    if (outcome.reply) return ReloadResult::kApplied;
    if (outcome.no_engine) return ReloadResult::kNoEngine;
    error = outcome.error;
    return ReloadResult::kFailed;
}

}  // namespace vemo::tools
