// vemoctl command, status, record and camera: a running engine's commands,
// sent over the session bus.
//
// libdbus rather than QtDBus: one blocking call on the caller's thread, and
// no Qt to load. libdbus itself (with libsystemd and its compression
// libraries behind it) is loaded only when a command talks to the engine:
// the picture commands, called once per picture, do not pay for it.

#include <dbus/dbus.h>
#include <dlfcn.h>

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

namespace vemo::tools {
namespace {

constexpr char kService[] = "com.lumetra.Vemo";
constexpr char kObject[] = "/Engine";
constexpr char kInterface[] = "com.lumetra.Vemo.Engine";
constexpr char kRefused[] = "com.lumetra.Vemo.Error.Refused";
constexpr char kLibrary[] = "libdbus-1.so.3";
constexpr int kCallTimeoutMs = 5000;
constexpr std::uint32_t kLastCommandId = 65535;
constexpr std::uint32_t kStartCapture = 7;
constexpr std::uint32_t kStopCapture = 8;

struct LibraryCloser {
    void operator()(void* library) const { ::dlclose(library); }
};

// The libdbus functions vemoctl calls, looked up in the library loaded at
// the first use. Their types come from libdbus's own header, so a call
// through them is checked as a direct call would be.
struct DBusApi {
    // clang-format off
#define VEMO_DBUS_FUNCTIONS(X)                                                                     \
    X(dbus_error_init) X(dbus_error_free) X(dbus_error_has_name)                                   \
    X(dbus_bus_get_private) X(dbus_connection_set_exit_on_disconnect)                              \
    X(dbus_connection_close) X(dbus_connection_unref)                                              \
    X(dbus_connection_send_with_reply_and_block)                                                   \
    X(dbus_message_new_method_call) X(dbus_message_unref) X(dbus_message_set_auto_start)           \
    X(dbus_message_append_args) X(dbus_message_get_args) X(dbus_validate_utf8)
    // clang-format on
#define VEMO_DBUS_POINTER(name) decltype(&::name) name = nullptr;
    VEMO_DBUS_FUNCTIONS(VEMO_DBUS_POINTER)
#undef VEMO_DBUS_POINTER

    std::unique_ptr<void, LibraryCloser> library;
    std::string error;  // why the library or a function is missing

    DBusApi() {
        // Kept loaded to the end: libdbus holds process-wide allocations past
        // its last connection, and unloading it would leave them pointing
        // into unmapped code (and hide whose they are from leak checkers).
        library.reset(::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
        if (!library) {
            error = std::string("cannot load the D-Bus library: ") + ::dlerror();
            return;
        }
#define VEMO_DBUS_LOOKUP(name)                                              \
    name = reinterpret_cast<decltype(name)>(::dlsym(library.get(), #name)); \
    if (name == nullptr) {                                                  \
        error = std::string(kLibrary) + " has no " + #name;                 \
        return;                                                             \
    }
        VEMO_DBUS_FUNCTIONS(VEMO_DBUS_LOOKUP)
#undef VEMO_DBUS_LOOKUP
    }
#undef VEMO_DBUS_FUNCTIONS

    bool ok() const {
        return error.empty();
    }
};

// Loaded once, at the first call, and kept until the process ends.
const DBusApi& Api() {
    static const DBusApi api;
    return api;
}

struct ConnectionCloser {
    void operator()(DBusConnection* connection) const {
        Api().dbus_connection_close(connection);
        Api().dbus_connection_unref(connection);
    }
};
struct MessageUnref {
    void operator()(DBusMessage* message) const { Api().dbus_message_unref(message); }
};
using ConnectionPtr = std::unique_ptr<DBusConnection, ConnectionCloser>;
using MessagePtr = std::unique_ptr<DBusMessage, MessageUnref>;

class Error {
  public:
    Error() { Api().dbus_error_init(&error_); }
    ~Error() { Api().dbus_error_free(&error_); }
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    DBusError* get() { return &error_; }
    bool is(const char* name) const { return Api().dbus_error_has_name(&error_, name); }
    std::string message() const { return error_.message != nullptr ? error_.message : ""; }
    std::string name() const { return error_.name != nullptr ? error_.name : ""; }

  private:
    DBusError error_;
};

// What became of one method call.
struct Outcome {
    MessagePtr reply;        // the engine's answer, when it gave one
    bool no_engine = false;  // nobody holds the name, or there is no bus
    bool invalid = false;    // the engine refused a malformed or out-of-range value
    std::string error;       // otherwise why there is no answer
};

// Why there is no engine to answer. Without any bus address the likeliest
// cause is a shell that was not given the one of the engine's bus.
std::string NoEngineMessage() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0') return "no running engine";
    return "no running engine (DBUS_SESSION_BUS_ADDRESS is not set: no session bus address; "
           "scripts/run prints the line that sets it for another shell)";
}

// The engine on the session bus, over one private connection for all the
// calls of a command, closed when it goes away.
class Engine {
  public:
    // `start` lets the bus start an engine that is installed to be started
    // on demand.
    explicit Engine(bool start = true) : start_(start) {
        if (!Api().ok()) return;
        Error error;
        bus_.reset(Api().dbus_bus_get_private(DBUS_BUS_SESSION, error.get()));
        if (bus_) Api().dbus_connection_set_exit_on_disconnect(bus_.get(), false);
    }

    // One method call. `what` names the command in messages; `append` adds
    // the call's arguments.
    template <typename Append>
    Outcome Call(const char* what, const char* method, Append append) {
        Outcome outcome;
        if (!Api().ok()) {
            outcome.error = std::string(what) + ": " + Api().error;
            return outcome;
        }
        if (!bus_) {
            outcome.no_engine = true;
            return outcome;
        }
        const MessagePtr call(
            Api().dbus_message_new_method_call(kService, kObject, kInterface, method));
        if (!call || !append(call.get())) {
            outcome.error = std::string(what) + ": out of memory";
            return outcome;
        }
        Api().dbus_message_set_auto_start(call.get(), start_);
        Error error;
        outcome.reply.reset(Api().dbus_connection_send_with_reply_and_block(
            bus_.get(), call.get(), kCallTimeoutMs, error.get()));
        if (outcome.reply) return outcome;

        if (error.is(DBUS_ERROR_SERVICE_UNKNOWN) || error.is(DBUS_ERROR_NAME_HAS_NO_OWNER) ||
            error.is(DBUS_ERROR_DISCONNECTED)) {
            outcome.no_engine = true;
        } else if (error.is(kRefused)) {
            outcome.error = std::string(what) + ": " + error.message();
        } else if (error.is(DBUS_ERROR_INVALID_ARGS)) {
            outcome.invalid = true;
            outcome.error = std::string(what) + ": " + error.message();
        } else if (error.is(DBUS_ERROR_NO_REPLY) || error.is(DBUS_ERROR_TIMEOUT)) {
            outcome.error = std::string(what) + ": the engine did not answer within " +
                            std::to_string(kCallTimeoutMs / 1000) + " seconds";
        } else {
            outcome.error = std::string(what) + ": " + error.message() + " (" + error.name() + ")";
        }
        return outcome;
    }

    // A call without arguments.
    Outcome Call(const char* what, const char* method) {
        return Call(what, method, [](DBusMessage*) -> dbus_bool_t { return true; });
    }

  private:
    ConnectionPtr bus_;
    bool start_;
};

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
    if (!id || text.size() > 5 || *id > kLastCommandId) return std::nullopt;
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
