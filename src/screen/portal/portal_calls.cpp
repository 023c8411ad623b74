// A portal session's bus: the connection, each call with its own time limit,
// the requests whose Response may wait for the user, and the close at the
// end. All of it runs on the session's thread.

#include <algorithm>
#include <string>
#include <utility>

#include "base/session_bus.h"
#include "screen/portal/portal_session_state.h"

namespace vemo::screen {

std::chrono::milliseconds PortalSession::State::CallLimit() const {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return std::max(std::chrono::milliseconds(1), std::min(limits.call, left));
}

void PortalSession::State::NoteEnded(std::string reason) {
    const std::lock_guard lock(ended_mutex);
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
    if (!IterateUntil(
            context.get(), Clock::now() + limit, [&call] { return call.done; }, &stop)) {
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
    if (!IterateUntil(
            context.get(), Clock::now() + limit + std::chrono::milliseconds(500),
            [&call] { return call.done; }, &stop)) {
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
    if (!IterateUntil(
            context.get(), deadline, [this] { return response.done || ended; }, &stop)) {
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

}  // namespace vemo::screen
