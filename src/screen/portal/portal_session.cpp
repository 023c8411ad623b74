#include "screen/portal/portal_session.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <algorithm>
#include <list>
#include <string>
#include <utility>

#include "base/freer.h"
#include "base/session_bus.h"

namespace vemo::screen {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";
constexpr std::uint32_t kSourceMonitor = 1;
constexpr std::uint32_t kCursorHidden = 1;
constexpr std::uint32_t kPersistUntilRevoked = 2;
// persist_mode and restore_token came with version 4 of the interface.
constexpr std::uint32_t kPersistVersion = 4;
// What the session ends with when it is closed at our end.
constexpr std::chrono::milliseconds kCloseLimit{1000};

using Clock = std::chrono::steady_clock;

template <class T>
using ObjectPtr = std::unique_ptr<T, Freer<g_object_unref>>;
using VariantPtr = std::unique_ptr<GVariant, Freer<g_variant_unref>>;
using ContextPtr = std::unique_ptr<GMainContext, Freer<g_main_context_unref>>;
using SourcePtr = std::unique_ptr<GSource, Freer<g_source_unref>>;

// A GError out-parameter that frees what it receives.
class ErrorSlot {
  public:
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;
    ~ErrorSlot() { Reset(); }
    GError** out() {
        Reset();
        return &error_;
    }
    const GError* get() const { return error_; }
    explicit operator bool() const { return error_ != nullptr; }
    std::string text() const { return error_ != nullptr ? error_->message : "unknown error"; }
    bool Is(GQuark domain, int code) const { return g_error_matches(error_, domain, code); }

  private:
    void Reset() {
        if (error_ != nullptr) g_error_free(error_);
        error_ = nullptr;
    }
    GError* error_ = nullptr;
};

// Makes `context` the thread's default while the session is set up, so the
// connection and its signal subscriptions deliver there and nowhere else.
class ThreadDefaultContext {
  public:
    explicit ThreadDefaultContext(GMainContext* context) : context_(context) {
        g_main_context_push_thread_default(context_);
    }
    ~ThreadDefaultContext() { g_main_context_pop_thread_default(context_); }
    ThreadDefaultContext(const ThreadDefaultContext&) = delete;
    ThreadDefaultContext& operator=(const ThreadDefaultContext&) = delete;

  private:
    GMainContext* context_;
};

std::string Seconds(std::chrono::milliseconds time) {
    const long long tenths = (time.count() + 50) / 100;
    // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about
    // "." + std::to_string(…).
    std::string text = std::to_string(tenths / 10);
    if (tenths % 10 != 0) text.append(".").append(std::to_string(tenths % 10));
    return text.append(" s");
}

// Iterates `context` until `done()` or `until`; false when time ran out first.
template <class Done>
bool IterateUntil(GMainContext* context, Clock::time_point until, Done done) {
    if (done()) return true;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    bool expired = false;
    const SourcePtr timer(g_timeout_source_new(static_cast<guint>(left.count())));
    g_source_set_callback(
        timer.get(),
        +[](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &expired, nullptr);
    g_source_attach(timer.get(), context);
    while (!done() && !expired)
        g_main_context_iteration(context, TRUE);
    g_source_destroy(timer.get());
    return done();
}

// Places and sizes no desktop has, which would overflow the arithmetic that
// lays monitors side by side.
constexpr std::int32_t kFarthestPlace = 1 << 24;
constexpr std::int32_t kWidestMonitor = 1 << 16;

bool Plausible(const PortalStream& stream) {
    return stream.x >= -kFarthestPlace && stream.x <= kFarthestPlace &&
           stream.y >= -kFarthestPlace && stream.y <= kFarthestPlace && stream.width >= 0 &&
           stream.width <= kWidestMonitor && stream.height >= 0 && stream.height <= kWidestMonitor;
}

// The SENDER part of a request path, and a fresh token for each request.
std::string NextToken(int& serial) {
    return "vemo_" + std::to_string(::getpid()) + "_" + std::to_string(++serial);
}

}  // namespace

std::string PortalSenderPart(std::string_view unique_name) {
    std::string part(unique_name.substr(unique_name.starts_with(':') ? 1 : 0));
    std::replace(part.begin(), part.end(), '.', '_');
    return part;
}

std::string PortalRequestPath(std::string_view unique_name, std::string_view handle_token) {
    return std::string(kPortalPath) + "/request/" + PortalSenderPart(unique_name) + "/" +
           std::string(handle_token);
}

struct PortalSession::State {
    // One D-Bus call on its way; its reply lands here.
    struct PendingCall {
        State* state = nullptr;
        ObjectPtr<GCancellable> cancellable{g_cancellable_new()};
        bool done = false;
        VariantPtr reply;
        ObjectPtr<GUnixFDList> fds;
        ErrorSlot error;
        bool with_fds = false;
    };

    // The request whose Response is awaited.
    struct Response {
        std::string path;
        bool done = false;
        std::uint32_t code = 2;
        VariantPtr results;
        std::string malformed;  // the type of a Response that was not (ua{sv})
    };

    enum class Outcome { kOpened, kFailed, kTokenRefused };

    explicit State(const PortalLimits& l) : limits(l) {}
    ~State() { Shut(); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    Outcome Handshake(const std::string& token, std::string& error);
    bool Connect(std::string& error);
    bool Call(const char* path, const char* interface, const char* method, GVariant* parameters,
              const GVariantType* reply_type, bool with_fds, std::chrono::milliseconds limit,
              const std::string& doing, VariantPtr& reply, ObjectPtr<GUnixFDList>* fds,
              std::string& error);
    bool Request(const char* method, GVariant* parameters, const std::string& token,
                 const std::string& doing, VariantPtr& results, std::string& error);
    guint Subscribe(const char* sender, const char* interface, const char* member, const char* path,
                    const char* arg0, GDBusSignalCallback callback);
    void NoteEnded(std::string reason);
    void Abandon(PendingCall& call);
    void Shut();
    std::chrono::milliseconds CallLimit() const;
    std::string CallError(const ErrorSlot& slot, const std::string& doing,
                          std::chrono::milliseconds limit) const;

    PortalLimits limits;
    Clock::time_point deadline;
    ContextPtr context{g_main_context_new()};
    ObjectPtr<GDBusConnection> connection;
    std::string unique_name;
    std::string session_path;
    std::vector<PortalStream> streams;
    std::string restore_token;
    UniqueFd pipewire_fd;
    std::list<PendingCall> pending;
    Response response;
    std::vector<guint> subscriptions;
    gulong closed_handler = 0;
    bool ended = false;
    std::string ended_reason;
    int token_serial = 0;
};

std::chrono::milliseconds PortalSession::State::CallLimit() const {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return std::max(std::chrono::milliseconds(1), std::min(limits.call, left));
}

void PortalSession::State::NoteEnded(std::string reason) {
    if (ended) return;
    ended = true;
    ended_reason = std::move(reason);
}

// A call given up on still holds its cancellable, its callback and a
// reference to the context: cancelled, it ends soon, and only then is it
// freed. One that outlasts even that is left to Shut().
void PortalSession::State::Abandon(PendingCall& call) {
    g_cancellable_cancel(call.cancellable.get());
    IterateUntil(context.get(), Clock::now() + kCloseLimit, [&call] { return call.done; });
    pending.remove_if([](const PendingCall& c) { return c.done; });
}

guint PortalSession::State::Subscribe(const char* sender, const char* interface, const char* member,
                                      const char* path, const char* arg0,
                                      GDBusSignalCallback callback) {
    const guint id =
        g_dbus_connection_signal_subscribe(connection.get(), sender, interface, member, path, arg0,
                                           G_DBUS_SIGNAL_FLAGS_NONE, callback, this, nullptr);
    subscriptions.push_back(id);
    return id;
}

bool PortalSession::State::Connect(std::string& error) {
    const std::string address = SessionBusAddress();
    if (address.empty()) {
        error =
            "no screen-cast portal on the session bus: there is no session bus "
            "(DBUS_SESSION_BUS_ADDRESS is not set)";
        return false;
    }
    PendingCall& call = pending.emplace_back();
    call.state = this;
    g_dbus_connection_new_for_address(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, call.cancellable.get(),
        +[](GObject*, GAsyncResult* result, gpointer data) {
            auto* c = static_cast<PendingCall*>(data);
            GDBusConnection* made =
                g_dbus_connection_new_for_address_finish(result, c->error.out());
            if (made != nullptr) c->state->connection.reset(made);
            c->done = true;
        },
        &call);
    const auto limit = CallLimit();
    if (!IterateUntil(context.get(), Clock::now() + limit, [&call] { return call.done; })) {
        Abandon(call);
        error = "no screen-cast portal on the session bus: the session bus did not answer within " +
                Seconds(limit);
        return false;
    }
    const bool connected = connection != nullptr;
    if (!connected) {
        error = "no screen-cast portal on the session bus: cannot connect to the session bus (" +
                call.error.text() + ")";
    }
    pending.remove_if([](const PendingCall& c) { return c.done; });
    if (!connected) return false;

    g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
    unique_name = g_dbus_connection_get_unique_name(connection.get());
    closed_handler = g_signal_connect(
        connection.get(), "closed",
        G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer data) {
            static_cast<State*>(data)->NoteEnded(
                "the connection to the session bus was lost, which ended the screen cast");
        }),
        this);
    // A portal that goes away takes its sessions with it, without a word.
    Subscribe(
        "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
        kPortalName,
        +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
            GVariant* parameters, gpointer data) {
            if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)"))) return;
            const gchar* old_owner = nullptr;
            const gchar* new_owner = nullptr;
            g_variant_get(parameters, "(&s&s&s)", nullptr, &old_owner, &new_owner);
            if (old_owner != nullptr && *old_owner != '\0') {
                static_cast<State*>(data)->NoteEnded(
                    "the screen-cast portal went away, which ended the screen cast");
            }
        });
    return true;
}

std::string PortalSession::State::CallError(const ErrorSlot& slot, const std::string& doing,
                                            std::chrono::milliseconds limit) const {
    if (slot.Is(G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
        slot.Is(G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) ||
        slot.Is(G_DBUS_ERROR, G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND)) {
        return "no screen-cast portal on the session bus (" + std::string(kPortalName) +
               " is not running)";
    }
    if (slot.Is(G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
        slot.Is(G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_INTERFACE) ||
        slot.Is(G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
        slot.Is(G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS)) {
        return "no screen-cast portal on the session bus (the desktop portal offers no "
               "ScreenCast interface: " +
               slot.text() + ")";
    }
    if (slot.Is(G_IO_ERROR, G_IO_ERROR_TIMED_OUT) || slot.Is(G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) ||
        slot.Is(G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY)) {
        return "the screen-cast portal did not answer " + doing + " within " + Seconds(limit);
    }
    if (slot.Is(G_IO_ERROR, G_IO_ERROR_CLOSED)) {
        return "the connection to the session bus was lost during " + doing;
    }
    return "the screen-cast portal could not answer " + doing + ": " + slot.text();
}

bool PortalSession::State::Call(const char* path, const char* interface, const char* method,
                                GVariant* parameters, const GVariantType* reply_type, bool with_fds,
                                std::chrono::milliseconds limit, const std::string& doing,
                                VariantPtr& reply, ObjectPtr<GUnixFDList>* fds,
                                std::string& error) {
    PendingCall& call = pending.emplace_back();
    call.state = this;
    call.with_fds = with_fds;
    const auto finished = +[](GObject* source, GAsyncResult* result, gpointer data) {
        auto* c = static_cast<PendingCall*>(data);
        auto* bus = G_DBUS_CONNECTION(source);
        if (c->with_fds) {
            GUnixFDList* list = nullptr;
            c->reply.reset(g_dbus_connection_call_with_unix_fd_list_finish(bus, &list, result,
                                                                           c->error.out()));
            c->fds.reset(list);
        } else {
            c->reply.reset(g_dbus_connection_call_finish(bus, result, c->error.out()));
        }
        c->done = true;
    };
    const int timeout_ms = static_cast<int>(limit.count());
    if (with_fds) {
        g_dbus_connection_call_with_unix_fd_list(
            connection.get(), kPortalName, path, interface, method, parameters, reply_type,
            G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr, call.cancellable.get(), finished, &call);
    } else {
        g_dbus_connection_call(connection.get(), kPortalName, path, interface, method, parameters,
                               reply_type, G_DBUS_CALL_FLAGS_NONE, timeout_ms,
                               call.cancellable.get(), finished, &call);
    }
    // GDBus keeps the call's own time; ours is a backstop a little later.
    if (!IterateUntil(context.get(), Clock::now() + limit + std::chrono::milliseconds(500),
                      [&call] { return call.done; })) {
        Abandon(call);
        error = "the screen-cast portal did not answer " + doing + " within " + Seconds(limit);
        return false;
    }
    const bool ok = call.reply != nullptr;
    if (ok) {
        reply = std::move(call.reply);
        if (fds != nullptr) *fds = std::move(call.fds);
    } else {
        error = CallError(call.error, doing, limit);
    }
    pending.remove_if([](const PendingCall& c) { return c.done; });
    return ok;
}

bool PortalSession::State::Request(const char* method, GVariant* parameters,
                                   const std::string& token, const std::string& doing,
                                   VariantPtr& results, std::string& error) {
    response = {};
    response.path = PortalRequestPath(unique_name, token);
    const auto on_response = +[](GDBusConnection*, const gchar*, const gchar* path, const gchar*,
                                 const gchar*, GVariant* signal, gpointer data) {
        State& s = *static_cast<State*>(data);
        if (s.response.done || s.response.path != path) return;
        // Anything else would be misread, or abort in g_variant_get.
        if (!g_variant_is_of_type(signal, G_VARIANT_TYPE("(ua{sv})"))) {
            s.response.malformed = g_variant_get_type_string(signal);
            s.response.done = true;
            return;
        }
        GVariant* answer = nullptr;
        g_variant_get(signal, "(u@a{sv})", &s.response.code, &answer);
        s.response.results.reset(answer);
        s.response.done = true;
    };
    // Both subscriptions end with this request.
    struct Subscriptions {
        State& s;
        std::vector<guint> ids;
        ~Subscriptions() {
            for (const guint id : ids) {
                g_dbus_connection_signal_unsubscribe(s.connection.get(), id);
                std::erase(s.subscriptions, id);
            }
        }
    } request_subscriptions{*this, {}};
    request_subscriptions.ids.push_back(
        Subscribe(kPortalName, kRequest, "Response", response.path.c_str(), nullptr, on_response));

    VariantPtr reply;
    if (!Call(kPortalPath, kScreenCast, method, parameters, G_VARIANT_TYPE("(o)"), false,
              CallLimit(), doing, reply, nullptr, error)) {
        return false;
    }
    const gchar* handle = nullptr;
    g_variant_get(reply.get(), "(&o)", &handle);
    const std::string handle_path = handle;
    if (handle_path != response.path && !response.done) {
        // A portal older than handle_token picks its own path.
        response.path = handle_path;
        request_subscriptions.ids.push_back(Subscribe(kPortalName, kRequest, "Response",
                                                      handle_path.c_str(), nullptr, on_response));
    }
    if (!IterateUntil(context.get(), deadline, [this] { return response.done || ended; })) {
        g_dbus_connection_call(connection.get(), kPortalName, handle_path.c_str(), kRequest,
                               "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                               nullptr, nullptr);
        error = "the screen-cast portal did not answer " + doing + " within " +
                Seconds(limits.handshake) + " (a permission dialog may be waiting)";
        return false;
    }
    if (!response.done) {
        error = ended_reason;
        return false;
    }
    if (!response.malformed.empty()) {
        error = "the screen-cast portal answered " + doing + " with a malformed response (" +
                response.malformed + " where (ua{sv}) belongs)";
        return false;
    }
    if (response.code == 1) {
        error = "the screen-cast permission was refused";
        return false;
    }
    if (response.code != 0) {
        error = "the screen-cast portal could not complete " + doing + " (response " +
                std::to_string(response.code) + ")";
        return false;
    }
    results = std::move(response.results);
    return true;
}

PortalSession::State::Outcome PortalSession::State::Handshake(const std::string& token,
                                                              std::string& error) {
    if (!connection && !Connect(error)) return Outcome::kFailed;

    // The first call may start the portal on demand, so it has the whole time.
    VariantPtr properties;
    const auto whole = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (!Call(kPortalPath, "org.freedesktop.DBus.Properties", "GetAll",
              g_variant_new("(s)", kScreenCast), G_VARIANT_TYPE("(a{sv})"), false,
              std::max(std::chrono::milliseconds(1), whole), "the question for its version",
              properties, nullptr, error)) {
        return Outcome::kFailed;
    }
    VariantPtr dict(g_variant_get_child_value(properties.get(), 0));
    std::uint32_t version = 0;
    std::uint32_t source_types = kSourceMonitor;
    std::uint32_t cursor_modes = 0;
    if (!g_variant_lookup(dict.get(), "version", "u", &version)) {
        error =
            "no screen-cast portal on the session bus (the desktop portal offers no "
            "ScreenCast interface)";
        return Outcome::kFailed;
    }
    g_variant_lookup(dict.get(), "AvailableSourceTypes", "u", &source_types);
    g_variant_lookup(dict.get(), "AvailableCursorModes", "u", &cursor_modes);
    if ((source_types & kSourceMonitor) == 0) {
        error = "the screen-cast portal offers no monitors to capture";
        return Outcome::kFailed;
    }

    VariantPtr results;
    std::string request_token = NextToken(token_serial);
    const std::string session_token = NextToken(token_serial);
    {
        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&options, "{sv}", "handle_token",
                              g_variant_new_string(request_token.c_str()));
        g_variant_builder_add(&options, "{sv}", "session_handle_token",
                              g_variant_new_string(session_token.c_str()));
        if (!Request("CreateSession", g_variant_new("(a{sv})", &options), request_token,
                     "the request for a session", results, error)) {
            return Outcome::kFailed;
        }
    }
    const gchar* session = nullptr;
    if (!g_variant_lookup(results.get(), "session_handle", "&s", &session) ||
        !g_variant_is_object_path(session)) {
        error = "the screen-cast portal gave no session";
        return Outcome::kFailed;
    }
    session_path = session;
    Subscribe(
        kPortalName, kSession, "Closed", session_path.c_str(), nullptr,
        +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
            gpointer data) {
            static_cast<State*>(data)->NoteEnded("the compositor ended the screen cast");
        });

    request_token = NextToken(token_serial);
    {
        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&options, "{sv}", "handle_token",
                              g_variant_new_string(request_token.c_str()));
        g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(kSourceMonitor));
        g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(TRUE));
        // As the X11 grab, without the pointer.
        if ((cursor_modes & kCursorHidden) != 0) {
            g_variant_builder_add(&options, "{sv}", "cursor_mode",
                                  g_variant_new_uint32(kCursorHidden));
        }
        if (version >= kPersistVersion) {
            g_variant_builder_add(&options, "{sv}", "persist_mode",
                                  g_variant_new_uint32(kPersistUntilRevoked));
            if (!token.empty()) {
                g_variant_builder_add(&options, "{sv}", "restore_token",
                                      g_variant_new_string(token.c_str()));
            }
        }
        if (!Request("SelectSources", g_variant_new("(oa{sv})", session_path.c_str(), &options),
                     request_token, "the choice of monitors", results, error)) {
            // xdg-desktop-portal refuses a token that is no UUID outright.
            return !token.empty() && !ended ? Outcome::kTokenRefused : Outcome::kFailed;
        }
    }

    request_token = NextToken(token_serial);
    {
        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&options, "{sv}", "handle_token",
                              g_variant_new_string(request_token.c_str()));
        if (!Request("Start", g_variant_new("(osa{sv})", session_path.c_str(), "", &options),
                     request_token, "the start of the screen cast", results, error)) {
            const bool refused = error == "the screen-cast permission was refused";
            return !token.empty() && !refused && !ended ? Outcome::kTokenRefused : Outcome::kFailed;
        }
    }
    const gchar* new_token = nullptr;
    if (g_variant_lookup(results.get(), "restore_token", "&s", &new_token)) {
        restore_token = new_token;
    }
    VariantPtr list(g_variant_lookup_value(results.get(), "streams", G_VARIANT_TYPE("a(ua{sv})")));
    if (list) {
        GVariantIter iter;
        g_variant_iter_init(&iter, list.get());
        guint32 node = 0;
        GVariant* raw_props = nullptr;
        while (g_variant_iter_next(&iter, "(u@a{sv})", &node, &raw_props)) {
            const VariantPtr props(raw_props);
            PortalStream stream;
            stream.node_id = node;
            gint32 a = 0;
            gint32 b = 0;
            if (g_variant_lookup(props.get(), "position", "(ii)", &a, &b)) {
                stream.has_position = true;
                stream.x = a;
                stream.y = b;
            }
            if (g_variant_lookup(props.get(), "size", "(ii)", &a, &b)) {
                stream.width = a;
                stream.height = b;
            }
            if (!Plausible(stream)) {
                error = "the screen-cast portal gave a monitor an impossible place or size (" +
                        std::to_string(stream.x) + "," + std::to_string(stream.y) + " " +
                        std::to_string(stream.width) + "x" + std::to_string(stream.height) + ")";
                return Outcome::kFailed;
            }
            streams.push_back(stream);
        }
    }
    if (streams.empty()) {
        error = "the screen-cast portal started a screen cast without any monitor";
        return Outcome::kFailed;
    }

    VariantPtr remote;
    ObjectPtr<GUnixFDList> fds;
    if (!Call(kPortalPath, kScreenCast, "OpenPipeWireRemote",
              g_variant_new("(oa{sv})", session_path.c_str(), nullptr), G_VARIANT_TYPE("(h)"), true,
              CallLimit(), "the request for the PipeWire connection", remote, &fds, error)) {
        return Outcome::kFailed;
    }
    gint32 index = -1;
    g_variant_get(remote.get(), "(h)", &index);
    ErrorSlot fd_error;
    const int fd = fds ? g_unix_fd_list_get(fds.get(), index, fd_error.out()) : -1;
    if (fd < 0) {
        error = "the screen-cast portal gave no PipeWire connection";
        return Outcome::kFailed;
    }
    pipewire_fd.reset(fd);
    return Outcome::kOpened;
}

void PortalSession::State::Shut() {
    // A connection attempt given up on may still be pending without one.
    if (!connection && pending.empty()) return;
    const ThreadDefaultContext scope(context.get());
    if (!session_path.empty() && !ended) {
        // No reply is awaited; the flush sees the message out.
        g_dbus_connection_call(connection.get(), kPortalName, session_path.c_str(), kSession,
                               "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                               nullptr, nullptr);
        PendingCall& flush = pending.emplace_back();
        flush.state = this;
        g_dbus_connection_flush(
            connection.get(), flush.cancellable.get(),
            +[](GObject* source, GAsyncResult* result, gpointer data) {
                auto* c = static_cast<PendingCall*>(data);
                g_dbus_connection_flush_finish(G_DBUS_CONNECTION(source), result, c->error.out());
                c->done = true;
            },
            &flush);
    }
    session_path.clear();
    for (const guint id : subscriptions)
        g_dbus_connection_signal_unsubscribe(connection.get(), id);
    subscriptions.clear();
    if (closed_handler != 0) g_signal_handler_disconnect(connection.get(), closed_handler);
    closed_handler = 0;
    // Calls given up on still point into `pending`: they are cancelled and
    // their ends awaited before the list goes.
    const auto flush_until = Clock::now() + kCloseLimit;
    IterateUntil(context.get(), flush_until, [this] {
        return std::all_of(pending.begin(), pending.end(),
                           [](const PendingCall& c) { return c.done; });
    });
    for (PendingCall& call : pending)
        g_cancellable_cancel(call.cancellable.get());
    IterateUntil(context.get(), Clock::now() + kCloseLimit, [this] {
        return std::all_of(pending.begin(), pending.end(),
                           [](const PendingCall& c) { return c.done; });
    });
    connection.reset();
    // What the connection scheduled on the way out.
    while (g_main_context_iteration(context.get(), FALSE)) {
    }
}

PortalSession::PortalSession(std::unique_ptr<State> state) : state_(std::move(state)) {}

PortalSession::~PortalSession() = default;

std::unique_ptr<PortalSession> PortalSession::Open(const std::string& restore_token,
                                                   const PortalLimits& limits, std::string& error) {
    auto state = std::make_unique<State>(limits);
    const ThreadDefaultContext scope(state->context.get());
    state->deadline = Clock::now() + limits.handshake;
    State::Outcome outcome = state->Handshake(restore_token, error);
    if (outcome == State::Outcome::kTokenRefused) {
        // A token the portal no longer honours: a plain start instead, which
        // may ask the user.
        state->Shut();
        state = std::make_unique<State>(limits);
        const ThreadDefaultContext retry_scope(state->context.get());
        state->deadline = Clock::now() + limits.handshake;
        error.clear();
        outcome = state->Handshake("", error);
    }
    if (outcome != State::Outcome::kOpened) return nullptr;
    return std::make_unique<PortalSession>(std::move(state));
}

const std::vector<PortalStream>& PortalSession::streams() const {
    return state_->streams;
}

const std::string& PortalSession::restore_token() const {
    return state_->restore_token;
}

UniqueFd PortalSession::TakePipeWireFd() {
    return std::move(state_->pipewire_fd);
}

bool PortalSession::Ended(std::string& reason) {
    State& s = *state_;
    // Bounded: a bus that floods us must not hold a grab.
    for (int i = 0; i < 64 && g_main_context_iteration(s.context.get(), FALSE); ++i) {
    }
    if (s.ended) reason = s.ended_reason;
    return s.ended;
}

}  // namespace vemo::screen
