// vemoctl command, status, record and camera: a running engine's commands,
// sent over the session bus (engine_bus.h).

#include <dbus/dbus.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tools/command.h"
#include "tools/engine_bus.h"

namespace vemo::tools {
namespace {

constexpr std::uint32_t kStartCapture = 7;
constexpr std::uint32_t kStopCapture = 8;

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
    if (action == "controls" && arguments.size() == 2) {
        return SendText("camera controls", "CameraControls", {}, true);
    }
    if (action == "formats" && arguments.size() == 2) {
        return SendText("camera formats", "CameraFormats", {}, true);
    }
    if (action == "set" && arguments.size() == 4) {
        // Whether VALUE is a number in the control's range, or one of its
        // menu's items, only the engine knows.
        return SendText("camera set", "SetCameraControl", {arguments[2], arguments[3]});
    }
    if (action == "format" && arguments.size() == 3) {
        if (!IsFormat(arguments[2])) {
            return UsageError(
                "camera format: a format is WIDTHxHEIGHT[@RATE], e.g. 640x480@30, "
                "not '" +
                arguments[2] + "'");
        }
        return SendText("camera format", "SetCameraFormat", {arguments[2]});
    }
    return UsageError(
        "camera: expected controls, set NAME VALUE, formats or format WIDTHxHEIGHT[@RATE] (see "
        "vemoctl camera --help)");
}

int RunCommandCommand(const Arguments& arguments) {
    if (arguments.size() != 2) {
        return UsageError("command: wrong number of arguments (see vemoctl command --help)");
    }
    const std::optional<std::uint32_t> id = CommandId(arguments[1]);
    if (!id) {
        return UsageError("command: ID is a number from 0 to 65535, not '" + arguments[1] + "'");
    }
    return SendCommand("command", *id);
}

int RunStatusCommand(const Arguments& arguments) {
    if (arguments.size() != 1) {
        return UsageError("status: wrong number of arguments (see vemoctl status --help)");
    }
    int status = kExitOk;
    Engine engine;
    const auto reply = Answer(engine.Call("status", "StatusText"), status);
    if (!reply) return status;
    const std::optional<std::string> text = TextOf("status", *reply);
    if (!text) return kExitFailed;
    PrintLine(*text);
    // The file a recording runs into; empty while none runs.
    const auto recording = Answer(engine.Call("status", "RecordingFile"), status);
    if (!recording) return status;
    const std::optional<std::string> file = TextOf("status", *recording);
    if (!file) return kExitFailed;
    if (!file->empty()) PrintLine("recording to " + *file);
    return kExitOk;
}

int RunRecordCommand(const Arguments& arguments) {
    const std::string action = arguments.size() > 1 ? arguments[1] : std::string();
    if (action == "file" && arguments.size() == 3) return SetCaptureFile(arguments[2]);
    if (action == "start" && arguments.size() == 2) {
        return SendCommand("record start", kStartCapture);
    }
    if (action == "stop" && arguments.size() == 2) return SendCommand("record stop", kStopCapture);
    return UsageError("record: expected file PATH, start or stop (see vemoctl record --help)");
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
