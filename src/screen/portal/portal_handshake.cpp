// The screen-cast handshake: the portal's version, a session, the choice of
// every monitor (with the permission kept from last time), the start that may
// ask the user, and the PipeWire connection it leads to.

#include <unistd.h>

#include <string>

#include "screen/portal/portal_session_state.h"

namespace vemo::screen {
namespace {

constexpr std::uint32_t kSourceMonitor = 1;
constexpr std::uint32_t kCursorHidden = 1;
constexpr std::uint32_t kPersistUntilRevoked = 2;
// persist_mode and restore_token came with version 4 of the interface.
constexpr std::uint32_t kPersistVersion = 4;

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

}  // namespace vemo::screen
