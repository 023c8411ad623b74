#pragma once

// The running engine on the session bus, for vemoctl's engine commands.
//
// libdbus rather than QtDBus: one blocking call on the caller's thread, and
// no Qt to load. libdbus itself (with libsystemd and its compression
// libraries behind it) is loaded only when a command talks to the engine:
// the picture commands, called once per picture, do not pay for it. Its
// header gives the functions' types; the library is opened at run time.

#include <dbus/dbus.h>

#include <memory>
#include <string>

#include "base/engine_bus_names.h"

namespace vemo::tools {

inline constexpr int kCallTimeoutMs = 5000;
// A call that waits for a person's answer in the engine's window waits as
// long as the person takes.
inline constexpr int kWaitForAPerson = DBUS_TIMEOUT_INFINITE;

struct LibraryCloser {
    void operator()(void* library) const;
};

// The libdbus functions vemoctl calls, looked up in the library loaded at
// the first use. Their types come from libdbus's own header, so a call
// through them is checked as a direct call would be.
struct DBusApi {
    // clang-format off
#define VEMO_DBUS_FUNCTIONS(X)                                                                     \
    X(dbus_error_init) X(dbus_error_free) X(dbus_error_has_name)                                   \
    X(dbus_connection_open_private) X(dbus_bus_register)                                           \
    X(dbus_connection_set_exit_on_disconnect)                                                      \
    X(dbus_connection_close) X(dbus_connection_unref)                                              \
    X(dbus_connection_send_with_reply_and_block)                                                   \
    X(dbus_message_new_method_call) X(dbus_message_unref) X(dbus_message_set_auto_start)           \
    X(dbus_message_append_args) X(dbus_message_get_args) X(dbus_validate_utf8)                    \
    X(dbus_message_iter_init) X(dbus_message_iter_get_arg_type) X(dbus_message_iter_recurse)       \
    X(dbus_message_iter_next) X(dbus_message_iter_get_basic)
    // clang-format on
#define VEMO_DBUS_POINTER(name) decltype(&::name) name = nullptr;
    VEMO_DBUS_FUNCTIONS(VEMO_DBUS_POINTER)
#undef VEMO_DBUS_POINTER

    std::unique_ptr<void, LibraryCloser> library;
    std::string error;  // why the library or a function is missing

    DBusApi();

    bool ok() const {
        return error.empty();
    }
};

// Loaded once, at the first call, and kept until the process ends.
const DBusApi& Api();

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

// Why there is no engine to answer; without any bus address it says how to
// get one.
std::string NoEngineMessage();

// The engine on the session bus, over one private connection for all the
// calls of a command, closed when it goes away.
class Engine {
  public:
    // `start` lets the bus start an engine that is installed to be started
    // on demand.
    explicit Engine(bool start = true);

    // One method call. `what` names the command in messages; `append` adds
    // the call's arguments; `interface` is the engine's unless given.
    template <typename Append>
    Outcome Call(const char* what, const char* method, Append append,
                 int timeout_ms = kCallTimeoutMs, const char* interface = kDBusInterface) {
        Outcome outcome;
        if (!Api().ok()) {
            outcome.error = std::string(what) + ": " + Api().error;
            return outcome;
        }
        if (!bus_) {
            outcome.no_engine = true;
            return outcome;
        }
        const MessagePtr call(Api().dbus_message_new_method_call(kDBusServiceName, kDBusObjectPath,
                                                                 interface, method));
        if (!call || !append(call.get())) {
            outcome.error = std::string(what) + ": out of memory";
            return outcome;
        }
        Api().dbus_message_set_auto_start(call.get(), start_);
        Error error;
        outcome.reply.reset(Api().dbus_connection_send_with_reply_and_block(
            bus_.get(), call.get(), timeout_ms, error.get()));
        if (outcome.reply) return outcome;

        if (error.is(DBUS_ERROR_SERVICE_UNKNOWN) || error.is(DBUS_ERROR_NAME_HAS_NO_OWNER) ||
            error.is(DBUS_ERROR_DISCONNECTED)) {
            outcome.no_engine = true;
        } else if (error.is(kDBusRefusedError) || error.is(kDBusCancelledError) ||
                   error.is(kDBusWaitingError)) {
            outcome.error = std::string(what) + ": " + error.message();
        } else if (error.is(DBUS_ERROR_INVALID_ARGS)) {
            outcome.invalid = true;
            outcome.error = std::string(what) + ": " + error.message();
        } else if (error.is(DBUS_ERROR_NO_REPLY) || error.is(DBUS_ERROR_TIMEOUT)) {
            outcome.error = std::string(what) + ": the engine did not answer within " +
                            std::to_string(timeout_ms / 1000) + " seconds";
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

}  // namespace vemo::tools
