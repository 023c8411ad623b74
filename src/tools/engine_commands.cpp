// vemoctl command, status, record and camera: a running engine's commands,
// sent over the session bus.
//
// libdbus rather than QtDBus: one blocking call on the caller's thread.
// QtDBus dispatches on a thread of its own that outlives Qt's type registry
// when a process ends this soon after connecting, and then warns on stderr.

#include <dbus/dbus.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tools/command.h"

namespace vemo::tools {
namespace {

constexpr char kService[] = "com.lumetra.Vemo";
constexpr char kObject[] = "/Engine";
constexpr char kInterface[] = "com.lumetra.Vemo.Engine";
constexpr char kRefused[] = "com.lumetra.Vemo.Error.Refused";
constexpr int kCallTimeoutMs = 5000;
constexpr std::uint32_t kLastCommandId = 65535;
constexpr std::uint32_t kStartCapture = 7;
constexpr std::uint32_t kStopCapture = 8;

struct ConnectionCloser {
    void operator()(DBusConnection* connection) const {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
};
struct MessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using ConnectionPtr = std::unique_ptr<DBusConnection, ConnectionCloser>;
using MessagePtr = std::unique_ptr<DBusMessage, MessageUnref>;

class Error {
  public:
    Error() { dbus_error_init(&error_); }
    ~Error() { dbus_error_free(&error_); }
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    DBusError* get() { return &error_; }
    bool is(const char* name) const { return dbus_error_has_name(&error_, name); }
    std::string message() const { return error_.message != nullptr ? error_.message : ""; }
    std::string name() const { return error_.name != nullptr ? error_.name : ""; }

  private:
    DBusError error_;
};

// What became of one method call.
struct Outcome {
    MessagePtr reply;        // the engine's answer, when it gave one
    bool no_engine = false;  // nobody holds the name, or there is no bus
    std::string error;       // otherwise why there is no answer
};

// One method call to the engine. `what` names the command in messages;
// `append` adds the call's arguments. `start` lets the bus start an engine
// that is installed to be started on demand.
template <typename Append>
Outcome CallEngine(const char* what, const char* method, Append append, bool start = true) {
    Outcome outcome;
    Error error;
    // A private connection: closed here, so nothing of it is left at exit.
    const ConnectionPtr bus(dbus_bus_get_private(DBUS_BUS_SESSION, error.get()));
    if (!bus) {
        outcome.no_engine = true;
        return outcome;
    }
    dbus_connection_set_exit_on_disconnect(bus.get(), false);
    const MessagePtr call(dbus_message_new_method_call(kService, kObject, kInterface, method));
    if (!call || !append(call.get())) {
        outcome.error = std::string(what) + ": out of memory";
        return outcome;
    }
    dbus_message_set_auto_start(call.get(), start);
    outcome.reply.reset(dbus_connection_send_with_reply_and_block(bus.get(), call.get(),
                                                                  kCallTimeoutMs, error.get()));
    if (outcome.reply) return outcome;

    if (error.is(DBUS_ERROR_SERVICE_UNKNOWN) || error.is(DBUS_ERROR_NAME_HAS_NO_OWNER) ||
        error.is(DBUS_ERROR_DISCONNECTED)) {
        outcome.no_engine = true;
    } else if (error.is(kRefused)) {
        outcome.error = std::string(what) + ": " + error.message();
    } else if (error.is(DBUS_ERROR_NO_REPLY) || error.is(DBUS_ERROR_TIMEOUT)) {
        outcome.error = std::string(what) + ": the engine did not answer within " +
                        std::to_string(kCallTimeoutMs / 1000) + " seconds";
    } else {
        outcome.error = std::string(what) + ": " + error.message() + " (" + error.name() + ")";
    }
    return outcome;
}

// The engine's answer, or nullopt after printing why there was none.
template <typename Append>
std::optional<MessagePtr> Call(const char* what, const char* method, Append append) {
    Outcome outcome = CallEngine(what, method, append);
    if (outcome.reply) return std::move(outcome.reply);
    Fail(outcome.no_engine ? "no running engine" : outcome.error);
    return std::nullopt;
}

int SendCommand(const char* what, std::uint32_t id) {
    const auto reply = Call(what, "Command", [id](DBusMessage* call) {
        return dbus_message_append_args(call, DBUS_TYPE_UINT32, &id, DBUS_TYPE_INVALID);
    });
    return reply ? kExitOk : kExitFailed;
}

std::optional<std::uint32_t> CommandId(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const auto id = static_cast<std::uint32_t>(std::stoul(text));
    if (id > kLastCommandId) return std::nullopt;
    return id;
}

int SetCaptureFile(const std::string& path) {
    if (path.empty()) return UsageError("record file: PATH is empty");
    std::error_code error;
    const std::string absolute = std::filesystem::absolute(path, error).string();
    if (error) return Fail("record file: " + error.message());
    // D-Bus carries UTF-8 text only.
    if (!dbus_validate_utf8(absolute.c_str(), nullptr)) {
        return UsageError("record file: " + absolute + " is not valid UTF-8");
    }
    const char* text = absolute.c_str();
    const auto reply = Call("record file", "SetCaptureFileName", [text](DBusMessage* call) {
        return dbus_message_append_args(call, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    });
    return reply ? kExitOk : kExitFailed;
}

// A call whose answer is text, printed as it comes (it ends in a newline).
int PrintAnswer(const char* what, const char* method) {
    const auto reply = Call(what, method, [](DBusMessage*) -> dbus_bool_t { return true; });
    if (!reply) return kExitFailed;
    Error error;
    const char* text = nullptr;
    if (!dbus_message_get_args(reply->get(), error.get(), DBUS_TYPE_STRING, &text,
                               DBUS_TYPE_INVALID)) {
        return Fail(std::string(what) + ": unexpected answer: " + error.message());
    }
    std::fputs(text, stdout);
    return kExitOk;
}

// A call that carries text arguments and whose answer is only yes or no.
int SendText(const char* what, const char* method, std::vector<std::string> texts) {
    for (const std::string& text : texts) {
        if (!dbus_validate_utf8(text.c_str(), nullptr)) {
            return UsageError(std::string(what) + ": '" + text + "' is not valid UTF-8");
        }
    }
    const auto reply = Call(what, method, [&texts](DBusMessage* call) {
        for (const std::string& text : texts) {
            const char* data = text.c_str();
            if (!dbus_message_append_args(call, DBUS_TYPE_STRING, &data, DBUS_TYPE_INVALID)) {
                return false;
            }
        }
        return true;
    });
    return reply ? kExitOk : kExitFailed;
}

}  // namespace

int RunCameraCommand(const QStringList& arguments) {
    const QString action = arguments.size() > 1 ? arguments[1] : QString();
    if (action == "controls" && arguments.size() == 2) {
        return PrintAnswer("camera controls", "CameraControls");
    }
    if (action == "formats" && arguments.size() == 2) {
        return PrintAnswer("camera formats", "CameraFormats");
    }
    if (action == "set" && arguments.size() == 4) {
        return SendText("camera set", "SetCameraControl",
                        {arguments[2].toStdString(), arguments[3].toStdString()});
    }
    if (action == "format" && arguments.size() == 3) {
        return SendText("camera format", "SetCameraFormat", {arguments[2].toStdString()});
    }
    return UsageError(
        "camera: expected controls, set NAME VALUE, formats or format WIDTHxHEIGHT[@RATE] (see "
        "vemoctl camera --help)");
}

int RunCommandCommand(const QStringList& arguments) {
    if (arguments.size() != 2) {
        return UsageError("command: wrong number of arguments (see vemoctl command --help)");
    }
    const std::string text = arguments[1].toStdString();
    const std::optional<std::uint32_t> id = CommandId(text);
    if (!id) return UsageError("command: ID is a number from 0 to 65535, not '" + text + "'");
    return SendCommand("command", *id);
}

int RunStatusCommand(const QStringList& arguments) {
    if (arguments.size() != 1) {
        return UsageError("status: wrong number of arguments (see vemoctl status --help)");
    }
    const auto reply =
        Call("status", "StatusText", [](DBusMessage*) -> dbus_bool_t { return true; });
    if (!reply) return kExitFailed;
    Error error;
    const char* text = nullptr;
    if (!dbus_message_get_args(reply->get(), error.get(), DBUS_TYPE_STRING, &text,
                               DBUS_TYPE_INVALID)) {
        return Fail("status: unexpected answer: " + error.message());
    }
    PrintLine(text);
    return kExitOk;
}

int RunRecordCommand(const QStringList& arguments) {
    const QString action = arguments.size() > 1 ? arguments[1] : QString();
    if (action == "file" && arguments.size() == 3) {
        return SetCaptureFile(arguments[2].toStdString());
    }
    if (action == "start" && arguments.size() == 2)
        return SendCommand("record start", kStartCapture);
    if (action == "stop" && arguments.size() == 2) return SendCommand("record stop", kStopCapture);
    return UsageError("record: expected file PATH, start or stop (see vemoctl record --help)");
}

ReloadResult ReloadEngineSettings(std::string& error) {
    // An engine that is not running has nothing to apply; it reads the file
    // when it starts, so none is started for this.
    const Outcome outcome = CallEngine(
        "the running engine did not apply it", "ReloadSettings",
        [](DBusMessage*) -> dbus_bool_t { return true; }, false);
    if (outcome.reply) return ReloadResult::kApplied;
    if (outcome.no_engine) return ReloadResult::kNoEngine;
    error = outcome.error;
    return ReloadResult::kFailed;
}

}  // namespace vemo::tools
